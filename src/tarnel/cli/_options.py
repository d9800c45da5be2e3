"""Option types and options that several commands share."""

from __future__ import annotations

import argparse
from collections.abc import Callable

from .. import streaming
from ._terminal import PASSWORD_ENV


# A command's parser from its name, one-line help and description.
Command = Callable[[str, str, str], argparse.ArgumentParser]

LEVEL_HELP = "security level 512, 768 or 1024"
FORMATS_HELP = (
    "pem (a public key block), json (a JSON document), base64 (URL-safe "
    "Base64 text) or spki (X.509 SubjectPublicKeyInfo, PEM)"
)


def _level_arg(text: str) -> int:
    value = text.upper().replace("ML-KEM-", "").replace("ML_KEM_", "")
    if value not in ("512", "768", "1024"):
        raise argparse.ArgumentTypeError(
            f"invalid level {text!r} (choose 512, 768 or 1024)"
        )
    return int(value)


def _chunk_size_arg(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid chunk size {text!r}") from None
    if not 1 <= value <= streaming.MAX_CHUNK_SIZE:
        raise argparse.ArgumentTypeError(
            f"chunk size must be between 1 and {streaming.MAX_CHUNK_SIZE} bytes"
        )
    return value


def _add_password_options(p: argparse.ArgumentParser) -> "argparse._MutuallyExclusiveGroup":
    g = p.add_mutually_exclusive_group()
    g.add_argument(
        "--password-file",
        metavar="FILE",
        help="read the password from the first line of FILE",
    )
    g.add_argument(
        "--password-env",
        metavar="NAME",
        help=f"read the password from the environment variable NAME "
        f"(default: {PASSWORD_ENV} when set, else ask on the terminal)",
    )
    return g
