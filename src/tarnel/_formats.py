"""The byte formats in one place: level sizes, the stream header and frames,
the wrapped secret-key blob, and a strict reader of stream framing.

Both the file API (:mod:`tarnel.streaming`) and the command line read the
formats through this module only. Key text is never decoded here: key files
are read by the native loaders.
"""

from __future__ import annotations

import struct
from typing import IO, Optional

from ._tarnel_core import DecryptionError, SecurityLevel

DEFAULT_CHUNK_SIZE = 65536
MAX_CHUNK_SIZE = 16 * 1024 * 1024
TAG_LEN = 16
LENGTH_LEN = 4
NONCE_LEN = 12
CHUNK_FIELD_LEN = 4

LEVELS = (512, 768, 1024)

# FIPS 203, Table 2: (k, du, dv) per parameter set. Encapsulation key
# 384k + 32 bytes, decapsulation key 768k + 96, capsule 32(du*k + dv).
_PARAMS = {512: (2, 10, 4), 768: (3, 10, 4), 1024: (4, 11, 5)}
PUBLIC_KEY_LEN = {v: 384 * k + 32 for v, (k, _, _) in _PARAMS.items()}
SECRET_KEY_LEN = {v: 768 * k + 96 for v, (k, _, _) in _PARAMS.items()}
CAPSULE_LEN = {v: 32 * (du * k + dv) for v, (k, du, dv) in _PARAMS.items()}
# Stream header: capsule, base nonce, big-endian 32-bit chunk size.
HEADER_LEN = {v: c + NONCE_LEN + CHUNK_FIELD_LEN for v, c in CAPSULE_LEN.items()}
MAX_HEADER_LEN = max(HEADER_LEN.values())

# Wrapped secret-key blob: magic, version, level id, salt (16), nonce (12),
# then the encrypted key and its tag.
BLOB_MAGIC = b"TRPK"
BLOB_VERSION_OFFSET = 4
BLOB_LEVEL_OFFSET = 5
BLOB_HEADER_LEN = 34
BLOB_OVERHEAD = BLOB_HEADER_LEN + TAG_LEN
BLOB_LEN = {v: SECRET_KEY_LEN[v] + BLOB_OVERHEAD for v in LEVELS}

# Markers that tell the kinds of key text apart (reading is the loaders' job).
PUBLIC_PEM_HEADER = "-----BEGIN ML-KEM PUBLIC KEY-----"
SECRET_PEM_HEADER = "-----BEGIN ENCRYPTED ML-KEM PRIVATE KEY-----"
SECRET_PEM_FOOTER = "-----END ENCRYPTED ML-KEM PRIVATE KEY-----"
JSON_PUBLIC_KEY_FIELD = '"public_key"'
XWING_PUBLIC_PEM_HEADER = "-----BEGIN X-WING PUBLIC KEY-----"
XWING_PUBLIC_PEM_FOOTER = "-----END X-WING PUBLIC KEY-----"
XWING_SECRET_PEM_HEADER = "-----BEGIN ENCRYPTED X-WING PRIVATE KEY-----"
XWING_SECRET_PEM_FOOTER = "-----END ENCRYPTED X-WING PRIVATE KEY-----"
XWING_JSON_ALGORITHM = '"X-Wing"'
# First lines of the key files: the key type, then the version.
KEY_FILE_LINE = "ML-KEM-Key-File: 1"
XWING_KEY_FILE_LINE = "X-Wing-Key-File: 1"


def level_object(value: int) -> SecurityLevel:
    """The :class:`SecurityLevel` whose number is ``value`` (512, 768, 1024)."""
    return {
        512: SecurityLevel.ML_KEM_512,
        768: SecurityLevel.ML_KEM_768,
        1024: SecurityLevel.ML_KEM_1024,
    }[value]


def level_name(value: int) -> str:
    return f"ML-KEM-{value}"


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
    """The input is not an encrypted stream: its header fits no level."""


class StreamLevelError(StreamError):
    """The stream was made for another security level than the key's."""


for _cls in (StreamError, TruncatedStreamError, TrailingDataError,
             FrameTooLargeError, NotAStreamError, StreamLevelError):
    _cls.__module__ = "tarnel.streaming"


# ---------------------------------------------------------------------------
# Framing


def header_chunk_size(head: bytes, level: int) -> Optional[int]:
    """The chunk size in a header at ``level``, or None when absent."""
    off = CAPSULE_LEN[level] + NONCE_LEN
    if len(head) < off + CHUNK_FIELD_LEN:
        return None
    (value,) = struct.unpack_from(">I", head, off)
    return int(value)


def fits_level(head: bytes, level: int) -> bool:
    """Whether the first bytes of a stream are framed as one at ``level``.

    The header must be whole with a chunk size of 1 to 16 MiB, and the
    first frame's length, when present, must not exceed that chunk size.
    """
    hlen = HEADER_LEN[level]
    chunk_size = header_chunk_size(head, level)
    if len(head) < hlen or chunk_size is None:
        return False
    if not 1 <= chunk_size <= MAX_CHUNK_SIZE:
        return False
    if len(head) >= hlen + LENGTH_LEN:
        (length,) = struct.unpack_from(">I", head, hlen)
        if length > chunk_size:
            return False
    return True


def first_frame_end(head: bytes) -> int:
    """How many bytes hold the header and the first frame of a stream that
    begins with ``head``, for whichever levels its framing fits (at least
    ``len(head)``)."""
    need = len(head)
    for level in LEVELS:
        hlen = HEADER_LEN[level]
        if fits_level(head, level) and len(head) >= hlen + LENGTH_LEN:
            (length,) = struct.unpack_from(">I", head, hlen)
            need = max(need, hlen + LENGTH_LEN + length + TAG_LEN)
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

        Refuses input that is empty or cut inside the header
        (:class:`TruncatedStreamError`), a stream framed for another level
        (:class:`StreamLevelError`) and input framed for no level at all
        (:class:`NotAStreamError`).
        """
        hlen = HEADER_LEN[level]
        head = self.read_exact(hlen)
        head += self.read_exact(LENGTH_LEN)
        if not fits_level(head, level):
            # Look a little further, to say what the input is instead.
            if len(head) == hlen + LENGTH_LEN:
                head += self.read_exact(MAX_HEADER_LEN + LENGTH_LEN - len(head))
            self._refuse(head, level)
        self._unread(head[hlen:])
        return head[:hlen]

    @staticmethod
    def _refuse(head: bytes, level: int) -> None:
        """Raise the error that says what ``head`` is, unless it is a header
        at ``level`` whose first frame is merely too long."""
        if not head:
            raise TruncatedStreamError("input is empty: no stream header")
        others = [v for v in LEVELS if v != level and fits_level(head, v)]
        if others:
            raise StreamLevelError(
                f"the stream was made for another security level "
                f"({level_name(others[0])}), not {level_name(level)}"
            )
        hlen = HEADER_LEN[level]
        chunk_size = header_chunk_size(head, level)
        if len(head) >= hlen and chunk_size and chunk_size <= MAX_CHUNK_SIZE:
            return  # the frame reader reports the oversized frame
        if len(head) < hlen:
            raise TruncatedStreamError(
                f"stream header is truncated: {len(head)} of {hlen} bytes"
            )
        raise NotAStreamError(
            "not an encrypted stream: its header fits no security level"
        )

    def next_frame(self, chunk_size: int, index: int) -> tuple[int, bytes]:
        """Read frame ``index``: its ciphertext length and ciphertext + tag.

        A length of 0 is the end-of-stream marker.
        """
        length = self._frame_length(chunk_size, index)
        body = self.read_exact(length + TAG_LEN)
        self._check_body(len(body), length, index)
        return length, body

    def next_frame_parts(self, chunk_size: int, index: int) -> tuple[int, bytes, bytes]:
        """Read frame ``index`` as its length, ciphertext and tag, each read
        into its own bytes object (no copy to split them)."""
        length = self._frame_length(chunk_size, index)
        ciphertext = self.read_exact(length)
        tag = self.read_exact(TAG_LEN) if len(ciphertext) == length else b""
        self._check_body(len(ciphertext) + len(tag), length, index)
        return length, ciphertext, tag

    @staticmethod
    def _check_body(got: int, length: int, index: int) -> None:
        if got < length + TAG_LEN:
            raise TruncatedStreamError(
                f"stream ended inside frame {index}: {got} of "
                f"{length + TAG_LEN} bytes"
            )

    def _frame_length(self, chunk_size: int, index: int) -> int:
        field = self.read_exact(LENGTH_LEN)
        if len(field) < LENGTH_LEN:
            if not field:
                raise TruncatedStreamError(
                    f"stream ended after {index} frames without its "
                    "end-of-stream marker"
                )
            raise TruncatedStreamError(
                f"stream ended inside the length field of frame {index}"
            )
        (length,) = struct.unpack(">I", field)
        if length > chunk_size:
            raise FrameTooLargeError(
                f"frame {index} claims {length} bytes, more than the "
                f"stream's chunk size of {chunk_size}"
            )
        return int(length)

    def check_end(self) -> None:
        """Raise :class:`TrailingDataError` unless the source has ended."""
        if self.read_exact(1):
            raise TrailingDataError("data follows the end-of-stream marker")
