"""``tarnel passwd``: change, add or remove the passphrase of a secret key file."""

from __future__ import annotations

import argparse
import os
import sys

from typing import Optional

from .. import keyfile, pkcs
from .._wipe import wipe_bytes
from ..keyfile import PUBLIC_PEM_HEADER, XWING_PUBLIC_PEM_HEADER
from ._keys import (
    _level_name,
    _load_xwing_identity,
    _read_key_file,
    _secret_key_text,
    _warn_unprotected,
    load_identity,
)
from ._options import Command, _add_password_options
from ._output import _commit, _is_regular, _open_output, _placed
from ._terminal import CliError, _Password, _is_stdio, _new_passphrase


def _public_block_before(path: str) -> bytes:
    """The public key block that starts ``path`` when it is keygen's
    standard output (the public key, then the secret key), else b"": passwd
    keeps it in front of the rewritten secret key."""
    data = _read_key_file(path)
    for header in (PUBLIC_PEM_HEADER, XWING_PUBLIC_PEM_HEADER):
        end_line = header.replace("BEGIN", "END").encode("ascii")
        if data.startswith(header.encode("ascii")) and end_line in data:
            end = data.index(end_line) + len(end_line)
            return data[:end].rstrip(b"\r\n") + b"\n"
    return b""


def _xwing_secret_text(seed: bytes, password: Optional[bytes]) -> str:
    """An X-Wing key file under ``password``, or X-Wing PKCS#8 (PEM) without
    one; ``seed`` is wiped."""
    try:
        if password is None:
            return pkcs.export_xwing_private_key_pkcs8(seed)
        return keyfile.xwing_key_file_text(seed, password)
    finally:
        wipe_bytes(seed)


def run(args: argparse.Namespace) -> int:
    path = args.identity
    target = path if args.output is None else args.output
    if not _is_stdio(target) and target != path and not args.force:
        if os.path.lexists(target) and _is_regular(target):
            raise CliError(f"{target} exists (use --force to replace it)")
    seed = _load_xwing_identity(path, _Password(args))
    if seed is None:
        secret_key, level = load_identity(path, _Password(args), warn_unprotected=False)
        name = _level_name(level)
    else:
        name = "X-Wing"
    try:
        phrase, password = _new_passphrase(args, f"New password for {path}: ")
    except BaseException:
        wipe_bytes(secret_key if seed is None else seed)
        raise
    secret_text = (_secret_key_text(secret_key, level, password) if seed is None
                   else _xwing_secret_text(seed, password))
    text = _public_block_before(path) + secret_text.encode("ascii")
    if _is_stdio(target):
        sys.stdout.buffer.write(text)
        sys.stdout.flush()
    else:
        out = _open_output(target, force=True if target == path else args.force, secret=True)
        try:
            out.write(text)
            _commit(out)
        except OSError as e:
            if _placed(out, e):
                raise
            kept = f"{path} is unchanged" if target == path else "nothing was written"
            raise CliError(f"cannot write {target}: {e.strerror or e}; {kept}") from None
        finally:
            out.close()
        what = "without a passphrase" if password is None else "under the new passphrase"
        print(f"wrote {target} ({name} secret key, {what})", file=sys.stderr)
    if phrase is not None:
        print(f"passphrase (shown only now, keep it safe): {phrase}", file=sys.stderr)
    if password is None:
        _warn_unprotected("stdout" if _is_stdio(target) else target)
    return 0


def add_command(command: Command) -> None:
    """Add ``passwd`` and its options to the parser through ``command``."""
    p = command(
        "passwd", "change, add or remove the passphrase of a secret key file",
        "Rewrite a secret key file under a new passphrase (stretched with "
        "scrypt), or without one as unencrypted PKCS#8 (--unprotected), which "
        "is also the way to export the secret key for other tools. The file is "
        "replaced atomically (mode 0600): on any failure it stays as it was.",
    )
    p.add_argument(
        "-i", "--identity", required=True, metavar="SECRET_KEY",
        help="the secret key file written by keygen, or an unencrypted PKCS#8 file",
    )
    p.add_argument(
        "-o", "--output", metavar="OUT",
        help="write the result to OUT (- for stdout) and leave SECRET_KEY as it "
        "is (default: replace SECRET_KEY)",
    )
    p.add_argument("--force", action="store_true", help="replace an existing OUT")
    _add_password_options(p)
    g = p.add_mutually_exclusive_group()
    g.add_argument(
        "--new-password-file", metavar="FILE",
        help="read the new password from the first line of FILE "
        "(default: ask on the terminal, twice)",
    )
    g.add_argument(
        "--new-password-env", metavar="NAME",
        help="read the new password from the environment variable NAME",
    )
    g.add_argument(
        "--generate-passphrase", action="store_true",
        help="generate a random new passphrase (150 bits) and show it once on stderr",
    )
    g.add_argument(
        "--unprotected", action="store_true",
        help="remove the passphrase: write unencrypted PKCS#8 (PEM), which other "
        "tools read",
    )
    p.set_defaults(run=run)
