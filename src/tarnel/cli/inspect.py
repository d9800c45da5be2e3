"""``tarnel inspect``: describe a key file or an encrypted stream."""

from __future__ import annotations

import argparse
import io
import sys
from typing import IO

from .. import armor, files
from .._files import close_input
from ._inspect import _Forward, _describe_file, _describe_key, _describe_stream, _print_fields
from ._keys import _level
from ._options import Command, LEVEL_HELP, _level_arg
from ._terminal import CliError, _shown_path


def run(args: argparse.Namespace) -> int:
    if args.file == "-":
        return _inspect_open(sys.stdin.buffer, "stdin", "standard input", args)
    try:
        f = open(args.file, "rb")
    except OSError as e:
        raise CliError(f"cannot read {_shown_path(args.file)}: {e.strerror}") from None
    try:
        return _inspect_open(f, args.file, args.file, args)
    finally:
        close_input(f)


def _inspect_open(f: IO[bytes], name: str, where: str, args: argparse.Namespace) -> int:
    """Describe the input ``f``, reading only what that needs: key text and
    blobs up to :data:`tarnel.cli._inspect.KEY_READ_LIMIT`, a stream frame by frame."""
    forward = _Forward(f, where)
    head = forward.read_at(0, 1 << 16)
    lines: list[tuple[str, str]]
    armor_at = 0
    if head and not head.strip(b" \t\r\n"):
        # Only whitespace so far: an armor block may follow, or nothing.
        armor_at = len(head)
        while (block := forward.read_at(armor_at, 1 << 16)) and not block.strip(b" \t\r\n"):
            armor_at += len(block)
        if not armor.is_armored(block):
            raise CliError(f"{name}: not a key file or an encrypted stream")
        head = block
    if head.startswith(files.MAGIC):
        lines, ok = _describe_file(forward.rest_from(0), name)
        _print_fields(lines)
        return 0 if ok else 1
    file_begin = f"-----BEGIN {armor.FILE_LABEL}-----".encode("ascii")
    if head.lstrip(b" \t\r\n").startswith(file_begin):
        decoded = io.BufferedReader(
            armor.ArmorReader(forward.rest_from(armor_at), armor.FILE_LABEL), 1 << 16
        )
        lines, ok = _describe_file(decoded, name)
        lines.insert(1, ("armor", "yes (text block, decoded)"))
        _print_fields(lines)
        return 0 if ok else 1
    key_lines = _describe_key(forward, head, name) if armor_at == 0 else None
    if key_lines is not None:
        _print_fields(key_lines)
        return 0
    if armor.is_armored(head):
        decoded = io.BufferedReader(armor.ArmorReader(forward.rest_from(armor_at)), 1 << 16)
        try:
            lines, ok = _describe_stream(_Forward(decoded, where), name, _level(args.level))
        except armor.ArmorError as e:
            raise CliError(f"{name}: {e}") from None
        lines.insert(1, ("armor", "yes (text block, decoded)"))
        _print_fields(lines)
        return 0 if ok else 1
    lines, ok = _describe_stream(forward, name, _level(args.level))
    _print_fields(lines)
    return 0 if ok else 1


def add_command(command: Command) -> None:
    """Add ``inspect`` and its options to the parser through ``command``."""
    p = command(
        "inspect", "describe a key file, an encrypted file or stream",
        "Describe a key file, an encrypted file or an encrypted stream "
        "(binary or armored) without a key.",
    )
    p.add_argument("--level", type=_level_arg, help=f"{LEVEL_HELP} of a stream")
    p.add_argument("file", metavar="FILE", help="the file to describe (- for stdin)")
    p.set_defaults(run=run)
