"""The ``tarnel`` command: key generation, encryption and decryption (of
files of the multi-recipient format and of streams), re-keying, and
inspection of keys and encrypted files.

Every failure ends with one line ``tarnel: error: ...`` on stderr and a
non-zero exit status: 2 for a usage error, 1 for anything else (130 when
interrupted, 128 + N after signal N), and 3 with a warning when an output is
in place but could not be made durable. ``-`` or an absent path means stdin
or stdout, so the command works in pipes. Output files appear whole or not
at all, and an existing file is replaced only with ``--force``.

Each command lives in a module of its own (``keygen``, ``encrypt``,
``decrypt``, ``rekey``, ``pubkey``, ``passwd``, ``inspect``) that adds its options to
the parser and runs it; the private modules below them are shared: the
terminal and messages, keys, input and output files, the parser's shared
options, and inspect's readers.
"""

from ._keys import (
    PUBLIC_FORMATS,
    XWING_NOT_STREAM,
    load_identity,
    load_recipient_key,
    public_key_of,
    public_key_text,
    xwing_public_key_text,
)
from ._keys import _fingerprint as _fingerprint
from ._keys import _read_key_file as _read_key_file
from ._main import main
from ._output import NOT_DURABLE_STATUS
from ._output import _write_pair as _write_pair
from ._parser import EXAMPLES, EXIT_STATUS, build_parser
from ._terminal import CliError, PASSWORD_ENV, PROG
from ._terminal import _on_signal as _on_signal
from .keygen import KEY_TYPES

__all__ = [
    "EXAMPLES",
    "EXIT_STATUS",
    "KEY_TYPES",
    "NOT_DURABLE_STATUS",
    "PASSWORD_ENV",
    "PROG",
    "PUBLIC_FORMATS",
    "XWING_NOT_STREAM",
    "CliError",
    "build_parser",
    "load_identity",
    "load_recipient_key",
    "main",
    "public_key_of",
    "public_key_text",
    "xwing_public_key_text",
]
