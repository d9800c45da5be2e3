"""``tarnel pubkey``: print the public key of a secret key file."""

from __future__ import annotations

import argparse
import sys

from .. import xwing
from .._wipe import wipe_bytes
from ._keys import (
    PUBLIC_FORMATS,
    _level,
    _load_xwing_identity,
    load_identity,
    public_key_of,
    public_key_text,
    xwing_public_key_text,
)
from ._options import Command, FORMATS_HELP, LEVEL_HELP, _add_password_options, _level_arg
from ._output import _write_pair
from ._terminal import CliError, _Password, _is_stdio


def run(args: argparse.Namespace) -> int:
    password = _Password(args)
    seed = _load_xwing_identity(args.identity, password)
    if seed is not None:
        try:
            if args.level is not None:
                raise CliError(
                    f"--level applies to ML-KEM keys; {args.identity} holds an X-Wing key", 2
                )
            public_key = xwing.PrivateKey(seed).public_key
        finally:
            wipe_bytes(seed)
        text = xwing_public_key_text(public_key, args.format)
    else:
        secret_key, level = load_identity(args.identity, password, _level(args.level))
        try:
            public_key = public_key_of(secret_key, int(level))
        finally:
            wipe_bytes(secret_key)
        text = public_key_text(public_key, level, args.format)
    if _is_stdio(args.output):
        sys.stdout.write(text)
        sys.stdout.flush()
    else:
        _write_pair((args.output, text.encode("ascii"), False), force=args.force)
    return 0


def add_command(command: Command) -> None:
    """Add ``pubkey`` and its options to the parser through ``command``."""
    p = command(
        "pubkey", "print the public key of a secret key file",
        "Print the public key held in a secret key file (the key file asks "
        "for its passphrase).",
    )
    p.add_argument(
        "-i", "--identity", required=True, metavar="SECRET_KEY",
        help="the secret key file written by keygen, or an unencrypted PKCS#8 file",
    )
    p.add_argument(
        "--format", choices=PUBLIC_FORMATS, default="pem",
        help=f"form of the public key: {FORMATS_HELP} (default pem)",
    )
    p.add_argument("-o", "--output", metavar="OUT", help="output file (default stdout)")
    p.add_argument("--force", action="store_true", help="replace an existing output file")
    p.add_argument("--level", type=_level_arg, help=f"{LEVEL_HELP} (default: from the key)")
    _add_password_options(p)
    p.set_defaults(run=run)
