"""``tarnel encrypt``: encrypt to a public key."""

from __future__ import annotations

import argparse
import sys
from typing import IO, cast

from .. import armor, streaming
from ._input import _open_input
from ._keys import _level, load_recipient_key
from ._options import Command, LEVEL_HELP, _chunk_size_arg, _level_arg
from ._output import _destination
from ._terminal import CliError, _Progress, _is_stdio, _show_progress


def run(args: argparse.Namespace) -> int:
    if len(args.recipient) > 1:
        raise CliError(
            "a stream has exactly one recipient: give -r/--recipient once "
            f"(it was given {len(args.recipient)} times)",
            2,
        )
    key, level = load_recipient_key(args.recipient[0], _level(args.level))
    to_stdout = _is_stdio(args.output)
    if to_stdout and not args.armor and sys.stdout.isatty():
        raise CliError(
            "refusing to write encrypted data to a terminal: use -o, a pipe "
            "or -a/--armor",
            2,
        )
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
                chunk_size=args.chunk_size,
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
        "encrypt", "encrypt to a public key",
        "Encrypt IN to the recipient's public key, as a binary stream or, with "
        "-a, as a text block.",
    )
    p.add_argument(
        "-r", "--recipient", required=True, action="append", metavar="RECIPIENT",
        help="the recipient's public key: a file (public key block, JSON, "
        "Base64 text, or X.509 SubjectPublicKeyInfo) or the key text itself; "
        "a stream has exactly one recipient",
    )
    p.add_argument(
        "-a", "--armor", action="store_true",
        help="write the stream as a text block (Base64 between BEGIN and END lines)",
    )
    p.add_argument("-o", "--output", metavar="OUT", help="output file (default stdout)")
    p.add_argument("--force", action="store_true", help="replace an existing output file")
    p.add_argument("--level", type=_level_arg, help=f"{LEVEL_HELP} (default: from the key)")
    p.add_argument(
        "--chunk-size", type=_chunk_size_arg, default=streaming.DEFAULT_CHUNK_SIZE,
        metavar="BYTES", help=f"plaintext bytes per frame (default {streaming.DEFAULT_CHUNK_SIZE})",
    )
    p.add_argument("input", nargs="?", metavar="IN", help="input file (default stdin)")
    p.set_defaults(run=run)
