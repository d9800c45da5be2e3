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
Salt and parameters live in the file, so the cost can be raised later.
Reading a file is bounded before any work is done (see
:meth:`ScryptParams.check`): at most :data:`MAX_SCRYPT_MEMORY` bytes of memory
as scrypt really uses it, :data:`MAX_SCRYPT_WORK` block operations and
:data:`MAX_SCRYPT_LANES` for r * p; and the encrypted block's structure is
checked before the stretch, so a damaged file costs no scrypt evaluation.

Files that hold only the encrypted block (or the binary wrapped blob), as
written before the stretch existed, still load: their password is the
passphrase itself.

An X-Wing private key (its 32-byte seed) is kept the same way, with the key
type in the first line and its own block (see :func:`xwing_key_file_text`)::

    X-Wing-Key-File: 1
    KDF: scrypt
    ...
    -----BEGIN ENCRYPTED X-WING PRIVATE KEY-----
    ...
    -----END ENCRYPTED X-WING PRIVATE KEY-----
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
from typing import Callable, Optional, Union

from ._files import OutputFile
from ._formats import BLOB_LEN as _BLOB_LEN
from ._formats import BLOB_LEVEL_OFFSET as _BLOB_LEVEL_OFFSET
from ._formats import LEVELS as _LEVELS
from . import _tarnel_fileio, _tarnel_pq
from ._wipe import wipe_bytes
from ._tarnel_core import (
    DecryptionError,
    InvalidParameterError,
    KeyPair,
    KeySerializationError,
    SecurityLevel,
    load_secret_key_pem,
    load_secret_key_raw,
)
from ._tarnel_pq import wrap_secret_key_pem

__all__ = [
    "ScryptParams",
    "DEFAULT_SCRYPT",
    "MAX_SCRYPT_MEMORY",
    "MAX_SCRYPT_WORK",
    "MAX_SCRYPT_LANES",
    "MIN_PASSPHRASE_LENGTH",
    "save_secret_key",
    "load_secret_key",
    "secret_key_file_text",
    "wrap_secret_key_text",
    "load_secret_key_text",
    "key_file_scrypt_params",
    "generate_passphrase",
    "check_passphrase",
    "key_file_permission_warning",
    "key_file_type",
    "check_xwing_key_file",
    "xwing_key_file_text",
    "load_xwing_key_text",
    "save_xwing_key",
    "load_xwing_key",
]

Passphrase = Union[bytes, str]

# The markers that tell the kinds of key text apart, here and in the command
# line (reading the text is the native loaders' job).
PUBLIC_PEM_HEADER = "-----BEGIN ML-KEM PUBLIC KEY-----"
SECRET_PEM_HEADER = "-----BEGIN ENCRYPTED ML-KEM PRIVATE KEY-----"
SECRET_PEM_FOOTER = "-----END ENCRYPTED ML-KEM PRIVATE KEY-----"
JSON_PUBLIC_KEY_FIELD = '"public_key"'
BLOB_MAGIC = _tarnel_fileio.BLOB_MAGIC  # the wrapped secret-key blob's first bytes
_VERSION_LINE = "ML-KEM-Key-File: 1"
XWING_PUBLIC_PEM_HEADER = "-----BEGIN X-WING PUBLIC KEY-----"
XWING_PUBLIC_PEM_FOOTER = "-----END X-WING PUBLIC KEY-----"
XWING_SECRET_PEM_HEADER = "-----BEGIN ENCRYPTED X-WING PRIVATE KEY-----"
XWING_SECRET_PEM_FOOTER = "-----END ENCRYPTED X-WING PRIVATE KEY-----"
XWING_JSON_ALGORITHM = '"X-Wing"'
_XWING_VERSION_LINE = "X-Wing-Key-File: 1"
_KDF_LINE = "KDF: scrypt"
_SALT_LEN = 16
_KEY_LEN = 32
_MAX_FILE = 1 << 16

#: Memory ceiling for reading a key file, counted as scrypt uses it:
#: 128 * r * (N + p + 2) bytes. 513 MiB admits N = 2**19 at r = 8 (512 MiB
#: for the N blocks, four times the default) and 1 MiB for the p + 2 others.
MAX_SCRYPT_MEMORY = 513 * 1024 * 1024
#: Work ceiling for reading a key file: N * r * p block operations (16 times
#: the default's 2**20).
MAX_SCRYPT_WORK = 16 * (1 << 17) * 8
#: Ceiling on r * p, whatever N is: PBKDF2 writes and reads 128 * r * p
#: bytes, which costs time and memory even at N = 2 (the default uses 8;
#: 2**13 is 1 MiB).
MAX_SCRYPT_LANES = 1 << 13
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
        """Bytes of memory one evaluation needs: 128 * r * (N + p + 2), the N
        blocks of the mixing array, the p blocks PBKDF2 fills and two more
        (RFC 7914, Sections 5 and 6; OpenSSL allocates exactly this)."""
        return 128 * self.r * ((1 << self.log2_n) + self.p + 2)

    def check(self) -> None:
        """Refuse parameters outside the sane range, before any work.

        Raises :class:`InvalidParameterError` unless all of these hold:

        - ln, r and p are positive integers, ln at most 30 (N = 2**ln, a
          power of two above 1);
        - N < 2**(16 r), p <= (2**32 - 1) * 32 / (128 r) and r * p < 2**30,
          the limits of RFC 7914, Section 2, as OpenSSL enforces them;
        - memory (:attr:`memory`) at most :data:`MAX_SCRYPT_MEMORY`;
        - work N * r * p at most :data:`MAX_SCRYPT_WORK`;
        - r * p at most :data:`MAX_SCRYPT_LANES`, so that PBKDF2's share of
          the work, which grows with r * p and not with N, stays small.
        """
        for name, value in (("ln", self.log2_n), ("r", self.r), ("p", self.p)):
            if isinstance(value, bool) or not isinstance(value, int) or value < 1:
                raise InvalidParameterError(f"scrypt parameter {name} must be a positive integer")
        ln, r, p = self.log2_n, self.r, self.p
        what = f"scrypt parameters ln={ln} r={r} p={p}"
        if ln > 30 or self.memory > MAX_SCRYPT_MEMORY:
            raise InvalidParameterError(
                f"{what} ask for more than {MAX_SCRYPT_MEMORY >> 20} MiB of memory"
            )
        if ln >= 16 * r or p > (2**32 - 1) * 32 // (128 * r) or r * p >= 1 << 30:
            raise InvalidParameterError(
                f"{what} are outside scrypt's range (N < 2^(16 r), and r * p "
                "below 2^30)"
            )
        if (r * p << ln) > MAX_SCRYPT_WORK or r * p > MAX_SCRYPT_LANES:
            raise InvalidParameterError(f"{what} ask for more work than a key file may")


#: The cost used when writing key files.
DEFAULT_SCRYPT = ScryptParams()


def _passphrase_bytes(passphrase: Passphrase) -> bytes:
    if isinstance(passphrase, str):
        return passphrase.encode("utf-8")
    if isinstance(passphrase, (bytes, bytearray)):
        return bytes(passphrase)
    raise TypeError(f"passphrase must be bytes or str, not {type(passphrase).__name__}")


def _stretch(passphrase: Passphrase, salt: bytes, params: ScryptParams) -> bytes:
    """scrypt(passphrase, salt) under ``params``, checked first; anything
    the library still refuses is an :class:`InvalidParameterError`."""
    params.check()
    n = 1 << params.log2_n
    maxmem = params.memory + (1 << 20)
    secret = _passphrase_bytes(passphrase)
    try:
        return hashlib.scrypt(
            secret, salt=salt, n=n, r=params.r, p=params.p, maxmem=maxmem, dklen=_KEY_LEN,
        )
    except ValueError as e:  # OpenSSL's refusal, or its allocation failing
        raise InvalidParameterError(
            f"scrypt could not run with parameters ln={params.log2_n} "
            f"r={params.r} p={params.p}: {e}"
        ) from None
    except MemoryError:
        raise InvalidParameterError(
            f"scrypt parameters ln={params.log2_n} r={params.r} p={params.p} "
            "ask for more memory than is available"
        ) from None
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
    return _key_file_text(keypair.export_secret_key_pem, passphrase, scrypt)


def wrap_secret_key_text(
    secret_key: bytes,
    level: SecurityLevel,
    passphrase: Passphrase,
    *,
    scrypt: ScryptParams = DEFAULT_SCRYPT,
) -> str:
    """The key file for a secret key held as bytes (read back from a key
    file or from PKCS#8), as :func:`secret_key_file_text` writes it.

    Raises :class:`InvalidParameterError` for an empty passphrase or a key
    whose size is not ``level``'s.
    """
    return _key_file_text(
        lambda password: wrap_secret_key_pem(secret_key, password, level), passphrase, scrypt
    )


def _key_file_text(
    wrap: Callable[[bytes], str], passphrase: Passphrase, scrypt: ScryptParams
) -> str:
    """The header lines and the block ``wrap`` makes under the stretched key."""
    if isinstance(passphrase, (bytes, bytearray, str)) and len(passphrase) == 0:
        raise InvalidParameterError("an empty passphrase is refused")
    salt = secrets.token_bytes(_SALT_LEN)
    key = _stretch(passphrase, salt, scrypt)
    try:
        block = wrap(key)
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


# Key type -> (first line, block header, block footer).
_KEY_TYPES = {
    "ML-KEM": (_VERSION_LINE, SECRET_PEM_HEADER, SECRET_PEM_FOOTER),
    "X-Wing": (_XWING_VERSION_LINE, XWING_SECRET_PEM_HEADER, XWING_SECRET_PEM_FOOTER),
}


def _file_key_type(text: str) -> Optional[str]:
    """The key type a stretched key file's first line names, or None."""
    for key_type, (line, _, _) in _KEY_TYPES.items():
        if text.startswith(line.split(":")[0] + ":"):
            return key_type
    return None


def _parse_header(text: str) -> Optional[tuple[ScryptParams, bytes, str, str]]:
    """(params, salt, encrypted block, key type) of a stretched key file;
    None if legacy."""
    key_type = _file_key_type(text)
    if key_type is None:
        return None
    version_line, header, footer = _KEY_TYPES[key_type]
    text = text.replace("\r\n", "\n")
    lines = text.split("\n", 4)
    if len(lines) < 5:
        raise KeySerializationError("key file: the header is truncated")
    if lines[0] != version_line:
        name = version_line.split(":")[0]
        version = re.fullmatch(re.escape(name) + r": ?([0-9]{1,6})", lines[0])
        raise KeySerializationError(
            "key file: unsupported version"
            + (f" {version.group(1)}" if version else " line")
            + f" (this reader knows '{version_line}')"
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
    if not block.startswith(header):
        raise KeySerializationError(
            "key file: the encrypted private key block must follow the header"
        )
    end = block.find(footer)
    if end >= 0 and block[end + len(footer) :].strip("\r\n"):
        raise KeySerializationError("key file: unexpected text after the key block")
    return params, salt, block, key_type


def _check_block(block: str) -> None:
    """Refuse an encrypted block that no passphrase could open, before the
    stretch: the native loader's checks of the PEM lines, the Base64 and the
    blob header (run with a placeholder password, so they end in
    :class:`DecryptionError` for a well-formed block), then the blob's size
    against the one its level implies.

    Raises :class:`KeySerializationError`.
    """
    try:
        opened, _ = load_secret_key_pem(block, bytes(_KEY_LEN))
    except DecryptionError:
        pass  # well formed: only the password is wrong
    else:  # a block made to open with the placeholder; the stretch decides
        wipe_bytes(opened)
    start = block.index(SECRET_PEM_HEADER) + len(SECRET_PEM_HEADER)
    body = block[start : block.index(SECRET_PEM_FOOTER, start)]
    # Accepted by the loader: the body is strict Base64 and white space.
    blob = base64.b64decode(re.sub(r"[^A-Za-z0-9+/=]", "", body))
    level = _LEVELS[blob[_BLOB_LEVEL_OFFSET]]
    if len(blob) != _BLOB_LEN[level]:
        raise KeySerializationError(
            f"key file: the encrypted block holds {len(blob)} bytes, not the "
            f"{_BLOB_LEN[level]} of an ML-KEM-{level} secret key"
        )


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
    :class:`KeySerializationError` (for a stretched file: a header, Base64,
    blob header or blob size that is wrong, found before the stretch);
    parameters beyond the ceilings of :meth:`ScryptParams.check`, or that
    the scrypt implementation refuses, :class:`InvalidParameterError`.
    """
    if isinstance(data, bytes) and data.startswith(BLOB_MAGIC):
        return _unwrap_unstretched(data, passphrase)
    text = _decode(data)
    if text is None:
        raise KeySerializationError("not a secret key file (binary data)")
    parsed = _parse_header(text)
    if parsed is None:
        if SECRET_PEM_HEADER not in text:
            raise KeySerializationError(
                "not a secret key file (no encrypted ML-KEM private key block)"
            )
        return _unwrap_unstretched(text, passphrase)
    params, salt, block, key_type = parsed
    if key_type != "ML-KEM":
        raise KeySerializationError(
            f"key file: holds an {key_type} key, not an ML-KEM key (read it with "
            "load_xwing_key_text)"
        )
    params.check()
    _check_block(block)
    key = _stretch(passphrase, salt, params)
    try:
        return load_secret_key_pem(block, key)
    finally:
        wipe_bytes(key)


def key_file_type(data: Union[bytes, str]) -> Optional[str]:
    """``"ML-KEM"`` or ``"X-Wing"`` for a key file, None for anything else.

    Legacy ML-KEM files (the bare encrypted block, the binary blob) count
    as ML-KEM. Nothing is checked beyond the first line or the marker.
    """
    if isinstance(data, bytes) and data.startswith(BLOB_MAGIC):
        return "ML-KEM"
    text = _decode(data)
    if text is None:
        return None
    key_type = _file_key_type(text)
    if key_type is None and SECRET_PEM_HEADER in text:
        return "ML-KEM"
    return key_type


def _xwing_block(blob: bytes) -> str:
    b64 = base64.b64encode(blob).decode("ascii")
    lines = [b64[i : i + 64] for i in range(0, len(b64), 64)]
    return "\n".join([XWING_SECRET_PEM_HEADER, *lines, XWING_SECRET_PEM_FOOTER, ""])


def _xwing_blob(block: str) -> bytes:
    """The wrapped seed in an X-Wing block: strict Base64 between the lines."""
    end = block.find(XWING_SECRET_PEM_FOOTER)
    if end < 0:
        raise KeySerializationError(f"key file: the block does not end with '{XWING_SECRET_PEM_FOOTER}'")
    body = "".join(block[len(XWING_SECRET_PEM_HEADER) : end].split())
    try:
        blob = base64.b64decode(body, validate=True)
    except (binascii.Error, ValueError):
        raise KeySerializationError("key file: the X-Wing block is not valid Base64") from None
    if base64.b64encode(blob).decode("ascii") != body:
        raise KeySerializationError("key file: the X-Wing block is not canonical Base64")
    if len(blob) != 82:
        raise KeySerializationError(
            f"key file: the encrypted block holds {len(blob)} bytes, not the 82 of "
            "an X-Wing private key"
        )
    return blob


def xwing_key_file_text(
    seed: bytes, passphrase: Passphrase, *, scrypt: ScryptParams = DEFAULT_SCRYPT
) -> str:
    """The key file for an X-Wing private key (its 32-byte seed) as text.

    The same stretch as an ML-KEM key file (scrypt of the passphrase under
    a random salt), first line ``X-Wing-Key-File: 1``, then the block
    ``ENCRYPTED X-WING PRIVATE KEY``: the 82-byte wrapped seed in standard
    Base64 (magic, version, kind 0x10, salt, nonce, ciphertext, tag;
    AES-256-GCM under HKDF-SHA3-256 of the stretched passphrase, with the
    six header bytes as associated data).
    """
    if not isinstance(seed, (bytes, bytearray)) or len(seed) != 32:
        raise InvalidParameterError("X-Wing private key must be 32 bytes")
    if isinstance(passphrase, (bytes, bytearray, str)) and len(passphrase) == 0:
        raise InvalidParameterError("an empty passphrase is refused")
    salt = secrets.token_bytes(_SALT_LEN)
    key = _stretch(passphrase, salt, scrypt)
    try:
        blob = _tarnel_pq.xwing_wrap_seed(bytes(seed), key)
    finally:
        wipe_bytes(key)
    return (
        f"{_XWING_VERSION_LINE}\n{_KDF_LINE}\n"
        f"KDF-Params: ln={scrypt.log2_n} r={scrypt.r} p={scrypt.p}\n"
        f"KDF-Salt: {base64.b64encode(salt).decode('ascii')}\n"
        f"{_xwing_block(blob)}"
    )


def check_xwing_key_file(text: str) -> ScryptParams:
    """The stretch of an X-Wing key file whose header and block are well
    formed; :class:`KeySerializationError` otherwise. No passphrase needed."""
    parsed = _parse_header(text)
    if parsed is None or parsed[3] != "X-Wing":
        raise KeySerializationError("not an X-Wing key file")
    _xwing_blob(parsed[2])
    return parsed[0]


def load_xwing_key_text(data: Union[bytes, str], passphrase: Passphrase) -> bytes:
    """The 32-byte seed of an X-Wing key file (wipe it when done).

    A wrong passphrase or a damaged file raises :class:`DecryptionError`;
    a malformed file (found before the stretch) or an ML-KEM key file
    :class:`KeySerializationError`; parameters beyond the ceilings
    :class:`InvalidParameterError`.
    """
    text = _decode(data)
    if text is None:
        raise KeySerializationError("not a secret key file (binary data)")
    parsed = _parse_header(text)
    if parsed is None or parsed[3] != "X-Wing":
        found = key_file_type(data)
        raise KeySerializationError(
            "not an X-Wing key file"
            + (f" (it holds an {found} key)" if found is not None else "")
        )
    params, salt, block, _ = parsed
    params.check()
    blob = _xwing_blob(block)
    key = _stretch(passphrase, salt, params)
    try:
        seed: bytes = _tarnel_pq.xwing_unwrap_seed(blob, key)
        return seed
    finally:
        wipe_bytes(key)


def save_xwing_key(
    path: Union[str, os.PathLike[str]],
    seed: bytes,
    passphrase: Passphrase,
    *,
    overwrite: bool = False,
    scrypt: ScryptParams = DEFAULT_SCRYPT,
) -> None:
    """Write an X-Wing private key to ``path`` as a key file, mode 0600,
    as :func:`save_secret_key` writes an ML-KEM one."""
    text = xwing_key_file_text(seed, passphrase, scrypt=scrypt)
    _write_private(os.fspath(path), text.encode("ascii"), overwrite)


def load_xwing_key(path: Union[str, os.PathLike[str]], passphrase: Passphrase) -> bytes:
    """Read an X-Wing key file (see :func:`load_xwing_key_text`)."""
    with open(path, "rb") as f:
        data = f.read(_MAX_FILE + 1)
    if len(data) > _MAX_FILE:
        raise KeySerializationError(f"{os.fspath(path)}: too large for a secret key file")
    return load_xwing_key_text(data, passphrase)


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
    :class:`~tarnel.OutputNotDurableError` (an OSError with
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
