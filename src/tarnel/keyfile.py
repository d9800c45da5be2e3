"""Secret key files protected by a stretched passphrase.

A key file is ASCII text: four header lines naming the key stretch, then the
encrypted private key block that :meth:`KeyPair.export_secret_key_pem` writes,
unchanged::

    ML-KEM-Key-File: 1
    KDF: scrypt
    KDF-Params: ln=17 r=8 p=1
    KDF-Salt: <16 random bytes, standard Base64>
    -----BEGIN ENCRYPTED ML-KEM PRIVATE KEY-----
    ...
    -----END ENCRYPTED ML-KEM PRIVATE KEY-----

The block's password is not the passphrase but the 32-byte output of
scrypt(passphrase, salt, N = 2**ln, r, p): each guess at the passphrase costs
an attacker one scrypt evaluation (about 128 MiB of memory and a few tenths
of a second at the default N = 2**17, r = 8, p = 1) instead of one HKDF call.
Salt and parameters live in the file, so the cost can be raised later; a
file asking for more than :data:`MAX_SCRYPT_MEMORY` bytes of memory or
:data:`MAX_SCRYPT_WORK` units of work is refused before any work is done.

Files that hold only the encrypted block (or the binary wrapped blob), as
written before the stretch existed, still load: their password is the
passphrase itself.
"""

from __future__ import annotations

import base64
import binascii
import errno
import hashlib
import os
import re
import secrets
import stat
from dataclasses import dataclass
from typing import Optional, Union

from ._files import OutputFile
from ._wipe import wipe_bytes
from ._tarnel_core import (
    InvalidParameterError,
    KeyPair,
    KeySerializationError,
    SecurityLevel,
    load_secret_key_pem,
    load_secret_key_raw,
)

__all__ = [
    "ScryptParams",
    "DEFAULT_SCRYPT",
    "MAX_SCRYPT_MEMORY",
    "MAX_SCRYPT_WORK",
    "MIN_PASSPHRASE_LENGTH",
    "save_secret_key",
    "load_secret_key",
    "secret_key_file_text",
    "load_secret_key_text",
    "key_file_scrypt_params",
    "generate_passphrase",
    "check_passphrase",
    "key_file_permission_warning",
]

Passphrase = Union[bytes, str]

_SECRET_HEADER = "-----BEGIN ENCRYPTED ML-KEM PRIVATE KEY-----"
_BLOB_MAGIC = b"TRPK"
_VERSION_LINE = "ML-KEM-Key-File: 1"
_KDF_LINE = "KDF: scrypt"
_SALT_LEN = 16
_KEY_LEN = 32
_MAX_FILE = 1 << 16

#: Memory ceiling for reading a key file: 128 * r * N bytes (512 MiB).
MAX_SCRYPT_MEMORY = 512 * 1024 * 1024
#: Work ceiling for reading a key file: N * r * p (16 times the default).
MAX_SCRYPT_WORK = 16 * (1 << 17) * 8
#: Passphrases shorter than this (in characters) get a warning.
MIN_PASSPHRASE_LENGTH = 16

# Lowercase letters and digits without the look-alikes 0, o, 1 and l: 32
# symbols, 5 bits each.
_PASSPHRASE_ALPHABET = "abcdefghijkmnpqrstuvwxyz23456789"
_PASSPHRASE_GROUPS = 6
_PASSPHRASE_GROUP_LEN = 5


@dataclass(frozen=True)
class ScryptParams:
    """scrypt cost: N = 2**log2_n, block size r, parallelism p."""

    log2_n: int = 17
    r: int = 8
    p: int = 1

    @property
    def memory(self) -> int:
        """Bytes of memory one evaluation needs (128 * r * N)."""
        return 128 * self.r << self.log2_n

    def check(self) -> None:
        """Refuse parameters outside the sane range, before any work."""
        for name, value, low in (("ln", self.log2_n, 1), ("r", self.r, 1), ("p", self.p, 1)):
            if isinstance(value, bool) or not isinstance(value, int) or value < low:
                raise InvalidParameterError(f"scrypt parameter {name} must be a positive integer")
        if self.log2_n > 30 or self.memory > MAX_SCRYPT_MEMORY:
            raise InvalidParameterError(
                f"scrypt parameters ln={self.log2_n} r={self.r} ask for more "
                f"than {MAX_SCRYPT_MEMORY >> 20} MiB of memory"
            )
        if (self.r * self.p << self.log2_n) > MAX_SCRYPT_WORK:
            raise InvalidParameterError(
                f"scrypt parameters ln={self.log2_n} r={self.r} p={self.p} ask "
                "for more work than a key file may"
            )


#: The cost used when writing key files.
DEFAULT_SCRYPT = ScryptParams()


def _passphrase_bytes(passphrase: Passphrase) -> bytes:
    if isinstance(passphrase, str):
        return passphrase.encode("utf-8")
    if isinstance(passphrase, (bytes, bytearray)):
        return bytes(passphrase)
    raise TypeError(f"passphrase must be bytes or str, not {type(passphrase).__name__}")


def _stretch(passphrase: Passphrase, salt: bytes, params: ScryptParams) -> bytes:
    params.check()
    n = 1 << params.log2_n
    maxmem = params.memory + 128 * params.r * (params.p + 2) + (1 << 20)
    secret = _passphrase_bytes(passphrase)
    try:
        return hashlib.scrypt(
            secret, salt=salt, n=n, r=params.r, p=params.p, maxmem=maxmem, dklen=_KEY_LEN,
        )
    finally:
        if secret is not passphrase:  # an encoded copy of ours
            wipe_bytes(secret)


def _unwrap_unstretched(
    data: Union[bytes, str], passphrase: Passphrase
) -> tuple[bytes, SecurityLevel]:
    """Files written before the stretch: the passphrase is the password."""
    secret = _passphrase_bytes(passphrase)
    try:
        if isinstance(data, bytes):
            return load_secret_key_raw(data, secret)
        return load_secret_key_pem(data, secret)
    finally:
        if secret is not passphrase:
            wipe_bytes(secret)


# ---------------------------------------------------------------------------
# Text form


def secret_key_file_text(
    keypair: KeyPair,
    passphrase: Passphrase,
    *,
    scrypt: ScryptParams = DEFAULT_SCRYPT,
) -> str:
    """The key file for ``keypair``'s secret key as text.

    ``passphrase`` (bytes, or str encoded as UTF-8) must not be empty.
    ``scrypt`` sets the stretch; lower it only for tests.
    """
    if not isinstance(keypair, KeyPair):
        raise TypeError(f"keypair must be a KeyPair, not {type(keypair).__name__}")
    if isinstance(passphrase, (bytes, bytearray, str)) and len(passphrase) == 0:
        raise InvalidParameterError("an empty passphrase is refused")
    salt = secrets.token_bytes(_SALT_LEN)
    key = _stretch(passphrase, salt, scrypt)
    try:
        block = keypair.export_secret_key_pem(key)
    finally:
        wipe_bytes(key)
    return (
        f"{_VERSION_LINE}\n{_KDF_LINE}\n"
        f"KDF-Params: ln={scrypt.log2_n} r={scrypt.r} p={scrypt.p}\n"
        f"KDF-Salt: {base64.b64encode(salt).decode('ascii')}\n"
        f"{block}"
    )


_PARAMS_RE = re.compile(r"KDF-Params: ln=([1-9][0-9]{0,2}) r=([1-9][0-9]{0,5}) p=([1-9][0-9]{0,5})")
_SALT_RE = re.compile(r"KDF-Salt: ([A-Za-z0-9+/]{22}==)")


def _parse_header(text: str) -> Optional[tuple[ScryptParams, bytes, str]]:
    """(params, salt, encrypted block) of a stretched key file; None if legacy."""
    if not text.startswith("ML-KEM-Key-File:"):
        return None
    text = text.replace("\r\n", "\n")
    lines = text.split("\n", 4)
    if len(lines) < 5:
        raise KeySerializationError("key file: the header is truncated")
    if lines[0] != _VERSION_LINE:
        raise KeySerializationError(
            f"key file: unsupported version line {lines[0][:40]!r}"
        )
    if lines[1] != _KDF_LINE:
        raise KeySerializationError("key file: expected 'KDF: scrypt' on line 2")
    m = _PARAMS_RE.fullmatch(lines[2])
    if m is None:
        raise KeySerializationError(
            "key file: line 3 must read 'KDF-Params: ln=<n> r=<n> p=<n>'"
        )
    params = ScryptParams(int(m.group(1)), int(m.group(2)), int(m.group(3)))
    s = _SALT_RE.fullmatch(lines[3])
    if s is None:
        raise KeySerializationError(
            "key file: line 4 must read 'KDF-Salt: ' and 16 bytes in Base64"
        )
    try:
        salt = base64.b64decode(s.group(1), validate=True)
    except (binascii.Error, ValueError):
        raise KeySerializationError("key file: the salt is not valid Base64") from None
    if base64.b64encode(salt).decode("ascii") != s.group(1):
        raise KeySerializationError("key file: the salt is not canonical Base64")
    block = lines[4]
    if not block.startswith(_SECRET_HEADER):
        raise KeySerializationError(
            "key file: the encrypted private key block must follow the header"
        )
    end = block.find("-----END ENCRYPTED ML-KEM PRIVATE KEY-----")
    if end >= 0 and block[end + 42 :].strip("\r\n"):
        raise KeySerializationError("key file: unexpected text after the key block")
    return params, salt, block


def _decode(data: Union[bytes, str]) -> Optional[str]:
    if isinstance(data, str):
        return data
    try:
        return data.decode("ascii")
    except UnicodeDecodeError:
        return None


def key_file_scrypt_params(data: Union[bytes, str]) -> Optional[ScryptParams]:
    """The stretch a key file declares, or None for an unstretched file.

    Raises :class:`KeySerializationError` for a malformed header.
    """
    text = _decode(data)
    if text is None:
        return None
    parsed = _parse_header(text)
    return None if parsed is None else parsed[0]


def load_secret_key_text(
    data: Union[bytes, str], passphrase: Passphrase
) -> tuple[bytes, SecurityLevel]:
    """Unwrap the contents of a secret key file: ``(secret_key, level)``.

    Reads the stretched key file and, for keys written before it, the bare
    encrypted block and the binary wrapped blob. A wrong passphrase or a
    damaged file raises :class:`DecryptionError`; a malformed file
    :class:`KeySerializationError`; parameters beyond the ceiling
    :class:`InvalidParameterError`.
    """
    if isinstance(data, bytes) and data.startswith(_BLOB_MAGIC):
        return _unwrap_unstretched(data, passphrase)
    text = _decode(data)
    if text is None:
        raise KeySerializationError("not a secret key file (binary data)")
    parsed = _parse_header(text)
    if parsed is None:
        if _SECRET_HEADER not in text:
            raise KeySerializationError(
                "not a secret key file (no encrypted ML-KEM private key block)"
            )
        return _unwrap_unstretched(text, passphrase)
    params, salt, block = parsed
    key = _stretch(passphrase, salt, params)
    try:
        return load_secret_key_pem(block, key)
    finally:
        wipe_bytes(key)


# ---------------------------------------------------------------------------
# Files


def save_secret_key(
    path: Union[str, os.PathLike[str]],
    keypair: KeyPair,
    passphrase: Passphrase,
    *,
    overwrite: bool = False,
    scrypt: ScryptParams = DEFAULT_SCRYPT,
) -> None:
    """Write ``keypair``'s secret key to ``path`` as a key file, mode 0600.

    The file appears complete or not at all: it is written to a temporary
    file beside ``path``, flushed to disk and renamed into place. An
    existing ``path`` raises :class:`FileExistsError` unless ``overwrite``.
    :class:`~tarnel._files.OutputNotDurableError` (an OSError with
    ``committed`` True) means the key file is whole and in place but
    syncing its directory or closing it failed: it is kept, and a crash may
    still lose it.
    """
    text = secret_key_file_text(keypair, passphrase, scrypt=scrypt)
    _write_private(os.fspath(path), text.encode("ascii"), overwrite)


def load_secret_key(
    path: Union[str, os.PathLike[str]], passphrase: Passphrase
) -> tuple[bytes, SecurityLevel]:
    """Read a secret key file (see :func:`load_secret_key_text`)."""
    with open(path, "rb") as f:
        data = f.read(_MAX_FILE + 1)
    if len(data) > _MAX_FILE:
        raise KeySerializationError(f"{os.fspath(path)}: too large for a secret key file")
    return load_secret_key_text(data, passphrase)


def _write_private(path: str, data: bytes, overwrite: bool) -> None:
    """Atomic, durable write of a 0600 file that never goes through a link."""
    if not overwrite and os.path.lexists(path):
        raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), path)
    out = OutputFile(path, replace=overwrite, secret=True, follow_symlinks=False)
    try:
        out.write(data)
        out.commit()
    finally:
        out.close()


# ---------------------------------------------------------------------------
# Passphrases and permissions


def generate_passphrase() -> str:
    """A random passphrase of 150 bits, easy to type.

    Six groups of five characters from 32 unambiguous lowercase letters and
    digits, joined by dashes, e.g. ``k3vq7-mx9ta-...``.
    """
    groups = (
        "".join(secrets.choice(_PASSPHRASE_ALPHABET) for _ in range(_PASSPHRASE_GROUP_LEN))
        for _ in range(_PASSPHRASE_GROUPS)
    )
    return "-".join(groups)


def check_passphrase(passphrase: Passphrase) -> Optional[str]:
    """Refuse an empty passphrase; return a warning for a short one.

    Raises :class:`InvalidParameterError` for an empty passphrase. Returns
    a warning text when it has fewer than :data:`MIN_PASSPHRASE_LENGTH`
    characters, None otherwise.
    """
    if isinstance(passphrase, (bytes, bytearray)):
        length = len(bytes(passphrase).decode("utf-8", errors="replace"))
    elif isinstance(passphrase, str):
        length = len(passphrase)
    else:
        raise TypeError(f"passphrase must be bytes or str, not {type(passphrase).__name__}")
    if length == 0:
        raise InvalidParameterError("an empty passphrase is refused")
    if length < MIN_PASSPHRASE_LENGTH:
        return (
            f"the passphrase has only {length} characters; a stolen key file "
            f"is easier to guess below {MIN_PASSPHRASE_LENGTH} (a generated "
            "passphrase is safer)"
        )
    return None


def key_file_permission_warning(path: Union[str, os.PathLike[str]]) -> Optional[str]:
    """A warning when a secret key file is accessible by group or others.

    Returns None when the mode is private (or cannot be read, or on a system
    without POSIX modes).
    """
    if os.name != "posix":
        return None
    try:
        mode = stat.S_IMODE(os.stat(path).st_mode)
    except OSError:
        return None
    if mode & 0o077 == 0:
        return None
    name = os.fspath(path)
    return (
        f"permissions {mode:04o} for {name} are too open: the secret key file "
        f"is accessible by group or others (run: chmod 600 {name})"
    )
