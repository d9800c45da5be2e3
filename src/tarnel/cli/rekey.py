"""``tarnel rekey``: change who can open a file of the multi-recipient
format, in place or into a new file."""

from __future__ import annotations

import argparse
import os
import sys

from .. import files
from .._tarnel_core import InvalidParameterError, TarnelError
from .._files import close_input
from .._wipe import wipe_bytes
from ..streaming import InputChangedError
from ._keys import Recipient, load_recipient, open_header, read_recipients_file
from ._options import Command, _add_password_options
from ._output import _OUTPUTS
from ._terminal import (
    CliError,
    _inform,
    _Password,
    _shown_path,
    _stream_error_message,
    _warn,
)

# What a removal without --rotate leaves possible, said on every such run.
REMOVED_CAN_STILL_READ = (
    "the removed recipients can still read the data if they kept a copy of this "
    "file or its key; use --rotate to re-encrypt"
)


def run(args: argparse.Namespace) -> int:
    if args.file == "-":
        raise CliError("rekey needs a file (it reads the file twice, and writes it in place)", 2)
    add = _file_recipients([load_recipient(r) for r in args.recipient])
    for path in args.recipients_file:
        add += _file_recipients(read_recipients_file(path, sys.stdin.buffer if path == "-" else None))
    remove = _file_recipients([load_recipient(r) for r in args.remove])
    if args.output is not None and os.path.lexists(args.output) and not args.force and not (
        os.path.exists(args.output) and os.path.samefile(args.output, args.file)
    ):
        raise CliError(f"{args.output} exists (use --force to replace it)")
    password = _Password(args)
    try:
        f = open(args.file, "rb")
    except OSError as e:
        raise CliError(f"cannot read {_shown_path(args.file)}: {e.strerror}") from None
    try:
        try:
            if f.read(len(files.MAGIC)) != files.MAGIC:
                raise CliError(
                    f"{args.file}: not a binary file of the multi-recipient format "
                    "(rekey reads neither streams nor armored files)"
                )
            f.seek(0)
            header = files.parse_header(f)
        finally:
            close_input(f)
        keys, passphrase = open_header(header, args.identity, password, args.file)
        try:
            info = files.rekey(
                args.file, args.output, keys, add=add, remove=remove, rotate=args.rotate,
                passphrase=passphrase, overwrite=args.force, _track=_OUTPUTS.append,
            )
        finally:
            wipe_bytes(*keys)
            if passphrase is not None:
                wipe_bytes(passphrase)
    except FileExistsError:
        raise CliError(f"{args.output} exists (use --force to replace it)") from None
    except InvalidParameterError as e:
        raise CliError(f"{args.file}: {e}; the file was not changed") from None
    except files.FileFormatError as e:
        raise CliError(f"{args.file}: the file is damaged: {e}") from None
    except InputChangedError:
        raise CliError(
            f"{args.file} was replaced while it was being re-keyed; what replaced it "
            "was kept, and this change was not made"
        ) from None
    except TarnelError as e:
        raise CliError(f"{_stream_error_message(e)}; the file was not changed") from None
    where = args.file if args.output is None else args.output
    _inform(f"{where}: {', '.join(info.entries)} ({len(info.entries)} "
                 f"{'entry' if len(info.entries) == 1 else 'entries'})"
                 + ("; re-encrypted under a new file key" if args.rotate else ""))
    if remove and not args.rotate:
        _warn(REMOVED_CAN_STILL_READ)
    return 0


def add_command(command: Command) -> None:
    """Add ``rekey`` and its options to the parser through ``command``."""
    p = command(
        "rekey", "add or remove recipients of an encrypted file",
        "Change who can open a file of the multi-recipient format: add "
        "recipients (-r, -R), remove them (--remove, by their public key), "
        "or re-encrypt the whole file under a new file key (--rotate). The "
        "file is opened with -i as decrypt opens it. Without -o it is "
        "replaced in place, atomically: after any failure it is unchanged. "
        "Without --rotate the data and its file key stay as they were, so a "
        "removed recipient who kept a copy of the file or its key can still "
        "read it; --rotate re-encrypts it (give -r for every recipient who "
        "stays, unless -i holds their secret key).",
    )
    p.add_argument(
        "-i", "--identity", action="append", default=[], metavar="SECRET_KEY",
        help="a secret key file that opens FILE (as for decrypt); repeatable",
    )
    p.add_argument(
        "-r", "--recipient", action="append", default=[], metavar="KEY",
        help="add a recipient: a public key file or key text (X-Wing, "
        "ML-KEM-768 or ML-KEM-1024); repeatable",
    )
    p.add_argument(
        "-R", "--recipients-file", action="append", default=[], metavar="FILE",
        help="add the recipients listed in FILE, one per line (# comments "
        "and blank lines skipped; - for stdin); repeatable",
    )
    p.add_argument(
        "--remove", action="append", default=[], metavar="KEY",
        help="remove the recipient with this public key (file or text); repeatable",
    )
    p.add_argument("--rotate", action="store_true",
                   help="re-encrypt the data under a new file key")
    p.add_argument("-o", "--output", metavar="OUT",
                   help="write the result to OUT (default: replace FILE in place)")
    p.add_argument("--force", action="store_true", help="replace an existing OUT")
    _add_password_options(p)
    p.add_argument("file", metavar="FILE", help="the encrypted file")
    p.set_defaults(run=run)


# ---------------------------------------------------------------------------
# Recipients (-r, -R, --remove): read as encrypt reads them


def _file_recipients(recipients: list[Recipient]) -> list[bytes]:
    """The public keys of ``recipients`` as tarnel.files takes them; an
    ML-KEM-512 key is refused (the file format has no ML-KEM-512 entries)."""
    for r in recipients:
        if r.kind == "ML-KEM-512":
            raise CliError(
                f"ML-KEM-512 key {r.where}: the file format does not take ML-KEM-512 keys "
                "(X-Wing, ML-KEM-768 or ML-KEM-1024 keys can be its recipients)")
    return [r.key for r in recipients]
