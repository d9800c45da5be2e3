"""``tarnel encrypt``: encrypt to public keys or a passphrase.

The default output is the file format of :mod:`tarnel.files` (any number of
X-Wing, ML-KEM-768 and ML-KEM-1024 recipients, or one passphrase);
``--format stream`` writes the single-recipient stream of
:mod:`tarnel.streaming` for peers that read only that.
"""

from __future__ import annotations

import argparse
import os
import stat
import sys
from typing import IO, Optional, cast

from .. import armor, files, keyfile, streaming
from .._tarnel_core import InvalidParameterError
from .._wipe import wipe_bytes
from ._input import _open_input
from ._keys import (
    GIVEN_AS_TEXT,
    XWING,
    Recipient,
    _checked_level,
    _level,
    _level_name,
    load_recipient,
    load_recipient_key,
    read_recipients_file,
)
from ._options import Command, LEVEL_HELP, _add_password_options, _chunk_size_arg, _level_arg
from ._output import _destination
from ._terminal import CliError, _Password, _Progress, _is_stdio, _show_progress, _tell, _warn


FORMATS = ("file", "stream")
# The only key type --approved-only lets through.
APPROVED = "ML-KEM-1024"


def run(args: argparse.Namespace) -> int:
    _check_usage(args)
    if args.format == "stream":
        return _run_stream(args)
    recipients = _file_recipients(args)
    chunk_size = files.DEFAULT_CHUNK_SIZE if args.chunk_size is None else args.chunk_size
    _refuse_terminal(args)
    progress = _Progress("encrypting", _show_progress(args))
    if recipients:
        _tell(args, f"encrypting to {len(recipients)} recipient"
                    f"{'' if len(recipients) == 1 else 's'}: "
                    + ", ".join(f"{r.kind} ({r.where})" for r in recipients))
    else:
        _tell(args, "encrypting with a passphrase (scrypt)")
    with _open_input(args.input) as src:
        # Asked once the input is known to be there, before any output exists.
        passphrase = _passphrase(args) if args.passphrase else None
        try:
            with _destination(args) as dst:
                out: IO[bytes] = dst
                if args.armor:
                    out = cast(IO[bytes], armor.ArmorWriter(dst, label=armor.FILE_LABEL))
                files.encrypt_file(
                    src,
                    out,
                    [r.key for r in recipients],
                    passphrase=passphrase,
                    chunk_size=chunk_size,
                    progress=progress,
                )
                if isinstance(out, armor.ArmorWriter):
                    out.finish()
        finally:
            progress.finish()
            if passphrase is not None:
                wipe_bytes(passphrase)
    return 0


def _check_usage(args: argparse.Namespace) -> None:
    """Refuse contradictory options (status 2) before anything is read."""
    recipients = bool(args.recipient or args.recipients_file)
    if args.passphrase and recipients:
        raise CliError(
            "a passphrase cannot be combined with recipients: give -p/--passphrase "
            "or -r/-R, not both", 2)
    if not args.passphrase and (args.password_file is not None or args.password_env is not None):
        option = "--password-file" if args.password_file is not None else "--password-env"
        raise CliError(f"{option} gives the passphrase of -p/--passphrase, which is not given", 2)
    if not args.passphrase and not recipients:
        raise CliError("no recipient: give -r/--recipient or -R/--recipients-file, "
                       "or -p/--passphrase", 2)
    if args.approved_only and args.format == "stream":
        raise CliError("--approved-only applies to the file format, not to --format stream", 2)
    if args.approved_only and args.passphrase:
        raise CliError(f"--approved-only takes only {APPROVED} recipients, not a passphrase", 2)
    if args.format == "stream" and args.passphrase:
        raise CliError("a stream has one ML-KEM recipient and no passphrase: drop "
                       "--format stream to encrypt with a passphrase", 2)
    if args.passphrase and args.level is not None:
        raise CliError("--level applies to ML-KEM recipients, not to a passphrase", 2)
    if "-" in (args.recipients_file or ()) and _is_stdio(args.input):
        raise CliError("-R - reads the recipients from standard input: give IN as a file", 2)
    if args.format == "file" and args.chunk_size is not None:
        size = args.chunk_size
        if not files.MIN_CHUNK_SIZE <= size <= files.MAX_CHUNK_SIZE or size & (size - 1):
            raise CliError(
                f"--chunk-size {size}: the file format takes a power of two from "
                f"{files.MIN_CHUNK_SIZE} to {files.MAX_CHUNK_SIZE} bytes (1 KiB to 16 MiB); "
                "--format stream takes any size up to that", 2)


def _loaded(args: argparse.Namespace) -> list[Recipient]:
    """Every recipient of -r and -R, in order, each key once."""
    loaded = [load_recipient(arg) for arg in args.recipient or ()]
    seen_stdin = False
    for path in args.recipients_file or ():
        if path == "-":
            if seen_stdin:
                continue  # standard input is read once
            seen_stdin = True
        loaded += read_recipients_file(path, sys.stdin.buffer if path == "-" else None)
    unique: dict[tuple[str, bytes], Recipient] = {}
    for r in loaded:
        unique.setdefault((r.kind, r.key), r)
    return list(unique.values())


def _file_recipients(args: argparse.Namespace) -> list[Recipient]:
    """The recipients of the file format, each checked against the options."""
    recipients = _loaded(args)
    level = _level(args.level)
    for r in recipients:
        if args.approved_only and r.kind != APPROVED:
            raise CliError(
                f"{r.kind} key {r.where} is not allowed with --approved-only "
                f"(only {APPROVED} keys are)", 2)
        if r.kind == "ML-KEM-512":
            raise CliError(
                f"ML-KEM-512 key {r.where}: the file format does not take ML-KEM-512 "
                "keys; encrypt to it alone with --format stream", 2)
        if level is not None:
            if r.kind == XWING:
                raise CliError(
                    f"--level {int(level)} contradicts the X-Wing key {r.where} "
                    "(--level applies to ML-KEM keys)", 2)
            _checked_level(r.key, level, _level_where(r))
    if len(recipients) > files.MAX_ENTRIES:
        raise CliError(
            f"{len(recipients)} recipients: a file holds at most {files.MAX_ENTRIES}", 2)
    return recipients


def _level_where(r: Recipient) -> str:
    return "the recipient key text" if r.where == GIVEN_AS_TEXT else r.where


def _refuse_terminal(args: argparse.Namespace) -> None:
    if _is_stdio(args.output) and not args.armor and sys.stdout.isatty():
        raise CliError(
            "refusing to write encrypted data to a terminal: use -o, a pipe "
            "or -a/--armor",
            2,
        )


def _passphrase(args: argparse.Namespace) -> bytes:
    """The passphrase of -p: from --password-file, --password-env,
    TARNEL_PASSWORD or the terminal (asked twice)."""
    password = _Password(args, confirm=True).get("Passphrase for the encrypted file: ")
    try:
        warning = keyfile.check_passphrase(password)
    except InvalidParameterError:
        raise CliError("an empty passphrase is refused") from None
    if warning is not None:
        _warn(warning.replace("a stolen key file", "an encrypted file"))
    return password


def _run_stream(args: argparse.Namespace) -> int:
    """The single-recipient stream format: exactly one ML-KEM recipient."""
    if args.recipient and len(args.recipient) > 1:
        raise CliError(
            "a stream has exactly one recipient: give -r/--recipient once "
            f"(it was given {len(args.recipient)} times)",
            2,
        )
    level = _level(args.level)
    recipients = _loaded(args)
    if len(recipients) != 1:
        raise CliError(
            "a stream has exactly one recipient: give one key with -r or -R "
            f"({len(recipients)} were given)",
            2,
        )
    chosen = recipients[0]
    if chosen.kind == XWING:
        raise CliError(
            f"X-Wing key {chosen.where}: the stream format takes only ML-KEM keys; "
            "drop --format stream to encrypt to X-Wing keys", 2)
    if args.recipient:
        key, level = load_recipient_key(args.recipient[0], level)
    else:
        key, level = chosen.key, _checked_level(chosen.key, level, chosen.where)
    _refuse_terminal(args)
    _tell(args, f"encrypting to {_level_name(level)} key ({chosen.where}) as a stream")
    progress = _Progress("encrypting", _show_progress(args))
    with _open_input(args.input) as src, _destination(args) as dst:
        try:
            out: IO[bytes] = dst
            if args.armor:
                out = cast(IO[bytes], armor.ArmorWriter(dst))
            streaming.encrypt_file(
                src,
                out,
                key,
                level=level,
                chunk_size=(streaming.DEFAULT_CHUNK_SIZE if args.chunk_size is None
                            else args.chunk_size),
                progress=progress,
            )
            if isinstance(out, armor.ArmorWriter):
                out.finish()
        finally:
            progress.finish()
    return 0


def add_command(command: Command) -> None:
    """Add ``encrypt`` and its options to the parser through ``command``."""
    p = command(
        "encrypt", "encrypt to public keys or a passphrase",
        "Encrypt IN to one or more recipients' public keys (X-Wing, ML-KEM-768, "
        "ML-KEM-1024), or to a passphrase, as a binary file or, with -a, as a "
        "text block. --format stream writes the single-recipient stream format "
        "instead (one ML-KEM key of any level).",
    )
    p.add_argument(
        "-r", "--recipient", action="append", metavar="RECIPIENT",
        help="a recipient's public key: a file (public key block, JSON, Base64 "
        "text, or X.509 SubjectPublicKeyInfo, PEM or DER) or the key text itself; "
        "repeat it for several recipients (a key given twice counts once)",
    )
    p.add_argument(
        "-R", "--recipients-file", action="append", metavar="FILE",
        help="read recipients from FILE, one public key per line (Base64 text or "
        "a one-line JSON document; blank lines and lines starting with # are "
        "skipped); - reads standard input; may be repeated",
    )
    p.add_argument(
        "-p", "--passphrase", action="store_true",
        help="encrypt to a passphrase instead of recipients (asked twice on the "
        "terminal, or from --password-file, --password-env or TARNEL_PASSWORD); "
        "stretched with scrypt",
    )
    _add_password_options(p)
    p.add_argument(
        "--approved-only", action="store_true",
        help=f"accept only {APPROVED} recipients, refusing any other key type, so "
        "the file uses ML-KEM-1024, HKDF-SHA256 and AES-256-GCM alone",
    )
    p.add_argument(
        "--format", choices=FORMATS, default="file",
        help="file (default): the format for several recipients; stream: the "
        "single-recipient stream format, for peers that read only it",
    )
    p.add_argument(
        "-a", "--armor", action="store_true",
        help="write a text block (Base64 between BEGIN and END lines)",
    )
    p.add_argument("-o", "--output", metavar="OUT", help="output file (default stdout)")
    p.add_argument("--force", action="store_true", help="replace an existing output file")
    p.add_argument("--level", type=_level_arg,
                   help=f"{LEVEL_HELP}, which every recipient must have (default: from the keys)")
    p.add_argument(
        "--chunk-size", type=_chunk_size_arg, metavar="BYTES",
        help=f"plaintext bytes per chunk (default {files.DEFAULT_CHUNK_SIZE}); the "
        f"file format takes a power of two from {files.MIN_CHUNK_SIZE} to "
        f"{files.MAX_CHUNK_SIZE}, --format stream any size from 1",
    )
    p.add_argument("input", nargs="?", metavar="IN", help="input file (default stdin)")
    p.set_defaults(run=run)
