"""``tarnel keygen``: generate a key pair."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Optional

from .. import _formats, keyfile, pkcs, xwing
from .._files import OutputNotDurableError
from .._wipe import wipe_bytes
from .._tarnel_core import SecurityLevel, generate_keypair
from ._keys import (
    PUBLIC_FORMATS,
    _fingerprint,
    _level_name,
    _secret_key_text,
    _warn_unprotected,
    public_key_text,
    xwing_public_key_text,
)
from ._options import Command, FORMATS_HELP, LEVEL_HELP, _add_password_options, _level_arg
from ._output import _is_regular, _write_pair
from ._terminal import CliError, _inform, _new_passphrase


KEY_TYPES = ("xwing", "mlkem512", "mlkem768", "mlkem1024")


def _keygen_type(args: argparse.Namespace) -> tuple[bool, SecurityLevel]:
    """(whether the key is X-Wing, the ML-KEM level otherwise) from --type
    and --level: X-Wing unless either names ML-KEM (--level alone names
    ML-KEM at that level); a contradiction between them is a usage error."""
    key_type = getattr(args, "type", None)
    if key_type == "xwing":
        if args.level is not None:
            raise CliError("--level applies to ML-KEM keys, not to --type xwing", 2)
        return True, SecurityLevel.ML_KEM_768
    if key_type is not None:
        value = int(key_type[len("mlkem"):])
        if args.level is not None and args.level != value:
            raise CliError(f"--type {key_type} contradicts --level {args.level}", 2)
        return False, _formats.level_object(value)
    if args.level is not None:
        return False, _formats.level_object(args.level)
    return True, SecurityLevel.ML_KEM_768


def run(args: argparse.Namespace) -> int:
    is_xwing, level = _keygen_type(args)
    if args.output is not None and args.output != "-":
        pub_path = args.output + ".pub"
        key_path = args.output + ".key"
        if not args.force:
            for p in (pub_path, key_path):
                if os.path.lexists(p) and _is_regular(p):
                    raise CliError(f"{p} exists (use --force to replace it)")
    else:
        pub_path = key_path = None
    phrase, password = _new_passphrase(args, "Password for the new key: ")
    kind: SecurityLevel | str = level
    if is_xwing:
        kind = "X-Wing"
        seed, public_key = xwing.generate_keypair()
        try:
            public_text = xwing_public_key_text(public_key, args.public_format)
            if password is None:
                secret_text = pkcs.export_xwing_private_key_pkcs8(seed)
            else:
                secret_text = keyfile.xwing_key_file_text(seed, password)
        finally:
            wipe_bytes(seed)
    else:
        pair = generate_keypair(level)
        public_key = pair.public_key
        public_text = public_key_text(pair.public_key, level, args.public_format)
        if password is None:
            secret_text = _secret_key_text(pair.secret_key, level, None)
        else:
            secret_text = keyfile.secret_key_file_text(pair, password)
    if pub_path is None or key_path is None:
        sys.stdout.write(public_text + secret_text)
        sys.stdout.flush()
    else:
        try:
            _write_pair(
                (key_path, secret_text.encode("ascii"), True),
                (pub_path, public_text.encode("ascii"), False),
                force=args.force,
            )
        except OutputNotDurableError:
            # The pair is in place: its passphrase must not be lost.
            _keygen_report(phrase, kind, public_key, f"{pub_path} and {key_path}")
            raise
        _inform(f"wrote {pub_path} and {key_path}")
    _keygen_report(phrase, kind, public_key,
                   None if pub_path is None else f"{pub_path} and {key_path}")
    if password is None:
        _warn_unprotected(key_path or "the output")
    return 0


def _keygen_report(
    phrase: Optional[str], kind: SecurityLevel | str, public_key: bytes, placed: Optional[str]
) -> None:
    """Show the generated passphrase, then the key's fingerprint (best
    effort). A passphrase that cannot be shown is an error: without it the
    key file ``placed`` (already in place, when given) cannot be opened."""
    if phrase is not None:
        try:
            print(f"passphrase (shown only now, keep it safe): {phrase}", file=sys.stderr, flush=True)
        except OSError as e:
            where = f"; {placed} are in place but cannot be opened without it" if placed else ""
            raise CliError(
                f"the generated passphrase could not be shown: {e.strerror or e}{where}"
            ) from None
    name = kind if isinstance(kind, str) else _level_name(kind)
    _inform(f"{name} public key fingerprint {_fingerprint(public_key)}")


def add_command(command: Command) -> None:
    """Add ``keygen`` and its options to the parser through ``command``."""
    p = command(
        "keygen", "generate a key pair",
        "Generate a key pair: the public key, and the secret key in a key file "
        "protected by a passphrase (stretched with scrypt, N = 2^17, r = 8, p = 1).",
    )
    p.add_argument("--level", type=_level_arg,
                   help=f"an ML-KEM key of {LEVEL_HELP} (the same as --type mlkemN)")
    p.add_argument(
        "--type",
        choices=KEY_TYPES,
        help="key type: xwing, the hybrid X-Wing (ML-KEM-768 + X25519), or ML-KEM "
        "at a level (default xwing, or the ML-KEM level --level names); "
        "mlkem512 keys are only for encrypt --format stream",
    )
    p.add_argument(
        "-o",
        "--output",
        metavar="PREFIX",
        help="write PREFIX.pub and PREFIX.key (default: both to stdout)",
    )
    p.add_argument(
        "--public-format",
        choices=PUBLIC_FORMATS,
        default="pem",
        help=f"form of the public key: {FORMATS_HELP} (default pem)",
    )
    p.add_argument("--force", action="store_true", help="replace existing files")
    g = _add_password_options(p)
    g.add_argument(
        "--generate-passphrase", action="store_true",
        help="generate a random passphrase (150 bits) and show it once on stderr",
    )
    g.add_argument(
        "--unprotected", action="store_true",
        help="write the secret key without a passphrase, as unencrypted PKCS#8 "
        "(mode 0600): decrypt then asks nothing, and anyone who can read the "
        "file can decrypt",
    )
    p.set_defaults(run=run, unprotected=False)
