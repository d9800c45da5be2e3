"""The byte formats in one place: level sizes, the stream header and frames,
the wrapped secret-key blob, and a strict reader of stream framing.

Both the file API (:mod:`tarnel.streaming`) and the command line read the
formats through this module only. Key text is never decoded here: key files
are read by the native loaders.
"""

from __future__ import annotations

import hashlib
import hmac
from typing import IO, Optional, Union

from . import _tarnel_fileio
from ._tarnel_core import DecryptionError, SecurityLevel

DEFAULT_CHUNK_SIZE = 65536
MAX_CHUNK_SIZE = _tarnel_fileio.MAX_CHUNK_SIZE
TAG_LEN = _tarnel_fileio.TAG_LEN
LENGTH_LEN = _tarnel_fileio.FRAME_LENGTH_LEN

LEVELS = (512, 768, 1024)

# The sizes per level come from the core's level table (FIPS 203, Table 2).
_SIZES = {v: _tarnel_fileio.level_sizes(v) for v in LEVELS}
PUBLIC_KEY_LEN = {v: s["public_key"] for v, s in _SIZES.items()}
SECRET_KEY_LEN = {v: s["secret_key"] for v, s in _SIZES.items()}
CAPSULE_LEN = {v: s["capsule"] for v, s in _SIZES.items()}
# Stream header: capsule, base nonce, big-endian 32-bit chunk size.
HEADER_LEN = {v: s["header"] for v, s in _SIZES.items()}
MAX_HEADER_LEN = _tarnel_fileio.MAX_HEADER_LEN

# Wrapped secret-key blob: magic (keyfile.BLOB_MAGIC), version, level id,
# salt (16), nonce (12), then the encrypted key and its tag.
BLOB_VERSION_OFFSET = _tarnel_fileio.BLOB_VERSION_OFFSET
BLOB_LEVEL_OFFSET = _tarnel_fileio.BLOB_LEVEL_OFFSET
BLOB_LEN = {v: s["wrapped_key"] for v, s in _SIZES.items()}
BLOB_OVERHEAD = BLOB_LEN[768] - SECRET_KEY_LEN[768]



def public_key_in(secret_key: Union[bytes, bytearray], level: int) -> Optional[bytes]:
    """The encapsulation key held inside an ML-KEM decapsulation key.

    FIPS 203, Algorithm 16 lays the decapsulation key out as dk_pke || ek ||
    H(ek) || z, with H = SHA3-256. Returns ek, or None when the key is not
    as long as ``level`` makes it or H(ek) does not match.
    """
    sizes = _SIZES[level]
    start = sizes["dk_pke"]
    end = start + sizes["public_key"]
    if len(secret_key) != sizes["secret_key"]:
        return None
    ek = bytes(secret_key[start:end])
    if not hmac.compare_digest(hashlib.sha3_256(ek).digest(), bytes(secret_key[end : end + 32])):
        return None
    return ek


def level_object(value: int) -> SecurityLevel:
    """The :class:`SecurityLevel` whose number is ``value`` (512, 768, 1024)."""
    return {
        512: SecurityLevel.ML_KEM_512,
        768: SecurityLevel.ML_KEM_768,
        1024: SecurityLevel.ML_KEM_1024,
    }[value]


def level_name(level: "int | SecurityLevel") -> str:
    """The parameter set's name as FIPS 203 writes it, e.g. "ML-KEM-768"."""
    return f"ML-KEM-{int(level)}"


# ---------------------------------------------------------------------------
# Stream errors


class StreamError(DecryptionError):
    """The encrypted stream is malformed: truncated, extended or oversized."""


class TruncatedStreamError(StreamError):
    """The stream ended before its end-of-stream marker."""


class TrailingDataError(StreamError):
    """Data follows the end-of-stream marker."""


class FrameTooLargeError(StreamError):
    """A frame claims more ciphertext than the stream's chunk size allows."""


class NotAStreamError(StreamError):
    """The input is not an encrypted stream: it is empty, it is text, or its
    header fits no level."""


class StreamLevelError(StreamError):
    """The stream was made for another security level than the key's."""


for _cls in (StreamError, TruncatedStreamError, TrailingDataError,
             FrameTooLargeError, NotAStreamError, StreamLevelError):
    _cls.__module__ = "tarnel.streaming"


# ---------------------------------------------------------------------------
# Framing


def header_chunk_size(head: bytes, level: int) -> Optional[int]:
    """The chunk size in a header at ``level`` (its last four bytes), or None
    when absent."""
    end = HEADER_LEN[level]
    if len(head) < end:
        return None
    return int.from_bytes(head[end - LENGTH_LEN : end], "big")


def first_frame_end(head: bytes) -> int:
    """How many bytes hold the header and the first frame of a stream that
    begins with ``head``, for whichever levels its framing fits (at least
    ``len(head)``)."""
    need = len(head)
    for level in LEVELS:
        try:
            hlen, chunk_size = _tarnel_fileio.read_header(head, level, True)
            field = head[hlen : hlen + LENGTH_LEN]
            if len(field) == LENGTH_LEN:
                length = _tarnel_fileio.read_frame(field, LENGTH_LEN, chunk_size, 0, False)
                need = max(need, hlen + LENGTH_LEN + length + TAG_LEN)
        except StreamError:
            continue
    return need


class FrameSource:
    """Reads a stream's header and frames from a binary file, strictly.

    Every failure is a :class:`StreamError` subclass with a message that
    says where the stream went wrong. ``bytes_in`` counts the stream bytes
    consumed so far.
    """

    def __init__(self, raw: IO[bytes]) -> None:
        self._raw = raw
        self._ahead = b""
        self._read = 0

    @property
    def bytes_in(self) -> int:
        return self._read - len(self._ahead)

    def read_exact(self, n: int) -> bytes:
        """Read n bytes, fewer only where the source ends."""
        parts = []
        got = 0
        if self._ahead:
            take = self._ahead[:n]
            self._ahead = self._ahead[n:]
            parts.append(take)
            got = len(take)
        while got < n:
            part = self._raw.read(n - got)
            if part is None:
                raise BlockingIOError("the stream source is non-blocking")
            if not part:
                break
            parts.append(part)
            got += len(part)
            self._read += len(part)
        return parts[0] if len(parts) == 1 else b"".join(parts)

    def _unread(self, data: bytes) -> None:
        self._ahead = data + self._ahead

    def read_header(self, level: int) -> bytes:
        """Read the header of a stream at ``level``.

        Refuses input that is empty, text or framed for no level at all
        (:class:`NotAStreamError`), a stream framed for another level
        (:class:`StreamLevelError`) and input cut inside the header
        (:class:`TruncatedStreamError`); the core's frame reader decides.
        """
        head = b""
        at_end = False
        while True:
            hlen, value = _tarnel_fileio.read_header(head, level, at_end)
            if hlen:
                break
            # The header in one read, then what follows it (no read larger).
            for upto in (min(value, HEADER_LEN[level]), value):
                if len(head) < upto and not at_end:
                    head += self.read_exact(upto - len(head))
                    at_end = len(head) < upto
        self._unread(head[hlen:])
        return head[:hlen]

    def next_frame(self, chunk_size: int, index: int) -> tuple[int, bytes]:
        """Read frame ``index``: its ciphertext length and ciphertext + tag.

        A length of 0 is the end-of-stream marker.
        """
        length = self._frame_length(chunk_size, index)
        body = self.read_exact(length + TAG_LEN)
        self._check_body(len(body), length, chunk_size, index)
        return length, body

    def next_frame_parts(self, chunk_size: int, index: int) -> tuple[int, bytes, bytes]:
        """Read frame ``index`` as its length, ciphertext and tag, each read
        into its own bytes object (no copy to split them)."""
        length = self._frame_length(chunk_size, index)
        ciphertext = self.read_exact(length)
        tag = self.read_exact(TAG_LEN) if len(ciphertext) == length else b""
        self._check_body(len(ciphertext) + len(tag), length, chunk_size, index)
        return length, ciphertext, tag

    @staticmethod
    def _check_body(got: int, length: int, chunk_size: int, index: int) -> None:
        if got < length + TAG_LEN:
            _tarnel_fileio.read_frame(
                length.to_bytes(LENGTH_LEN, "big"), LENGTH_LEN + got, chunk_size, index, True
            )

    def _frame_length(self, chunk_size: int, index: int) -> int:
        field = self.read_exact(LENGTH_LEN)
        return _tarnel_fileio.read_frame(
            field, len(field), chunk_size, index, len(field) < LENGTH_LEN
        )

    def check_end(self) -> None:
        """Raise :class:`TrailingDataError` unless the source has ended."""
        _tarnel_fileio.read_after_end(len(self.read_exact(1)), True)
