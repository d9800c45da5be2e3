"""ASCII armor: an encrypted stream as a text block that survives mail and chat.

The block is a BEGIN line, the stream in standard Base64 with ``=`` padding
in lines of 64 characters (the last one shorter), and an END line::

    -----BEGIN TARNEL ENCRYPTED STREAM-----
    <64 Base64 characters>
    ...
    <1 to 64 Base64 characters>
    -----END TARNEL ENCRYPTED STREAM-----

:class:`ArmorWriter` encodes what is written to it, :class:`ArmorReader`
decodes as it is read; both hold at most a few blocks of data, whatever the
stream's size. The reader releases the last block only once the END line, and
nothing but whitespace after it, has been read. Reading is strict: lines end in LF or CRLF,
every line but the last data line has exactly 64 characters, the padding is
canonical (unused bits zero), and nothing but whitespace may come before the
BEGIN line (any amount, skipped in blocks) or after the END line (at most
4096 bytes). Anything else raises :class:`ArmorError` at the
point where it is read. Encoding and the checks run in native code
(``tarnel._tarnel_fileio``), a block of lines at a time.
"""

from __future__ import annotations

import io
from typing import IO, TYPE_CHECKING, Callable, Optional

from . import _tarnel_fileio as _codec
from ._formats import StreamError

_Fault = tuple[str, int, int, bytes]

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer, WriteableBuffer

__all__ = ["ArmorError", "ArmorWriter", "ArmorReader", "BEGIN_LINE", "END_LINE", "is_armored",
           "STREAM_LABEL", "FILE_LABEL"]

BEGIN_LINE: bytes = _codec.ARMOR_BEGIN_LINE
END_LINE: bytes = _codec.ARMOR_END_LINE
# The labels of the BEGIN and END lines: a stream, and a file of the format
# for several recipients (tarnel.files), under the same line rules.
STREAM_LABEL = "TARNEL ENCRYPTED STREAM"
FILE_LABEL = "TARNEL ENCRYPTED FILE"
_LINES = {
    STREAM_LABEL: (BEGIN_LINE, END_LINE),
    FILE_LABEL: (_codec.ARMOR_FILE_BEGIN_LINE, _codec.ARMOR_FILE_END_LINE),
}
LINE_CHARS: int = _codec.ARMOR_LINE_CHARS
_WHITESPACE = b" \t\r\n"
# Whitespace accepted after the END line (before the BEGIN line, any amount).
MAX_SURROUNDING_WHITESPACE: int = _codec.ARMOR_MAX_TRAILING_SPACE
# Input is read, and decoded, in blocks of this size (the native
# decryption of an armored file reads it in the same blocks).
_BATCH: int = _codec.ARMOR_BATCH


class ArmorError(StreamError):
    """Armored input that is not a well-formed armor block."""


def _lines_of(label: str) -> tuple[bytes, bytes]:
    """The BEGIN and END lines of ``label``; ValueError for another label."""
    try:
        return _LINES[label]
    except KeyError:
        raise ValueError(f"armor label must be {STREAM_LABEL!r} or {FILE_LABEL!r}") from None


def fault_error(fault: "_Fault", label: str = STREAM_LABEL) -> ArmorError:
    """The error for a fault the native decoder names in a block of ``label``."""
    return ArmorError(_fault_message(*fault, lines=_lines_of(label)))


def _fault_message(kind: str, line: int, length: int, shown: bytes, *,
                   lines: tuple[bytes, bytes]) -> str:
    """The message of a fault the native decoder names."""
    found = shown.decode("ascii", "replace")
    if kind == "wrong_begin":
        return f"armor: expected {lines[0].decode()!r} on line {line}, found {found!r}"
    if kind == "wrong_end":
        return f"armor: expected {lines[1].decode()!r} on line {line}, found {found!r}"
    if kind == "bad_length":
        return (f"armor: line {line} has {length} characters "
                f"(expected {LINE_CHARS}, or a multiple of 4 on the last line)")
    messages = {
        "no_begin": "armor: no BEGIN line (the input holds only whitespace)",
        "stray_cr": f"armor: stray carriage return on line {line}",
        "not_last": f"armor: line {line} is shorter than {LINE_CHARS} characters "
                    "but is not the last line",
        "not_base64": f"armor: line {line} is not Base64",
        "bad_base64": f"armor: line {line} is not valid Base64",
        "non_canonical": f"armor: line {line} has non-canonical Base64 padding",
        "no_end": "armor: the input ends without the END line",
        "data_after_end": "armor: unexpected data after the END line",
        "too_much_space": "armor: too much whitespace after the END line",
    }
    return messages.get(kind, f"armor: malformed block ({kind})")


def is_armored(head: bytes) -> bool:
    """Whether the first bytes of an input start an armor block (after any
    whitespace). ``head`` should hold at least the first 64 bytes."""
    return head.lstrip(_WHITESPACE).startswith(b"-----BEGIN ")


class ArmorWriter(io.RawIOBase):
    """Writes Base64 lines of what it is given to ``fileobj``.

    The BEGIN line goes out with the first write (or at :meth:`finish`); the
    last line and the END line go out at :meth:`finish`, which must be called
    once the stream is complete. ``fileobj`` is never closed here.
    ``label`` names the block on its BEGIN and END lines (STREAM_LABEL or
    FILE_LABEL).
    """

    def __init__(self, fileobj: IO[bytes], label: str = STREAM_LABEL) -> None:
        super().__init__()
        self._out = fileobj
        self._label = label
        self._begin, self._end = _lines_of(label)
        self._encoder = _codec.armor_encoder()
        self._started = False
        self._finished = False

    def writable(self) -> bool:
        return True

    @property
    def name(self) -> object:
        """The name of the output, when it has one."""
        return getattr(self._out, "name", None)

    def _start(self) -> None:
        if not self._started:
            self._out.write(self._begin + b"\n")
            self._started = True

    def write(self, data: "ReadableBuffer") -> int:
        if self._finished or self.closed:
            raise ValueError("write to a finished armor writer")
        self._start()
        if isinstance(data, bytes):
            piece = data
        else:
            with memoryview(data) as view:
                piece = view.cast("B").tobytes()
        lines = _codec.armor_encode(self._encoder, piece)
        if lines:
            self._out.write(lines)
        return len(piece)

    def native_handover(
        self, label: str = STREAM_LABEL
    ) -> "Optional[tuple[Callable[[], None], IO[bytes]]]":
        """For whole-file encryption in native code, which writes the block
        itself: when nothing has been written yet and the block's label is
        ``label``, a function that hands the block over (after it, write()
        refuses and finish() does nothing) and the output; else None."""
        if self._started or self._finished or self.closed or self._label != label:
            return None

        def hand_over() -> None:
            self._started = self._finished = True

        return hand_over, self._out

    def flush(self) -> None:
        if not self.closed:
            self._out.flush()

    def finish(self) -> None:
        """Write the last line and the END line (once)."""
        if self._finished:
            return
        self._start()
        tail = _codec.armor_encode_finish(self._encoder)
        self._out.write(tail + self._end + b"\n")
        self._out.flush()
        self._finished = True

    def close(self) -> None:
        # Closing does not finish: an unfinished block stays visibly cut.
        # What waits for a whole line is dropped with the encoder.
        self._encoder = _codec.armor_encoder()
        super().close()


class ArmorReader(io.RawIOBase):
    """Reads an armor block from ``fileobj`` and returns the bytes it holds.
    ``label`` names the block on its BEGIN and END lines (STREAM_LABEL or
    FILE_LABEL)."""

    def __init__(self, fileobj: IO[bytes], label: str = STREAM_LABEL) -> None:
        super().__init__()
        self._in = fileobj
        _lines_of(label)
        self._label = label
        self._decoder = _codec.armor_decoder(label == FILE_LABEL)
        self._buffer = bytearray()  # decoded bytes not yet returned, from _pos on
        self._pos = 0
        self._held = bytearray()  # the last batch decoded, released with the next one
        self._done = False  # the input ended after a well-formed block
        self._handed = 0  # decoded bytes returned so far
        try:
            self._origin: Optional[int] = fileobj.tell()
        except (AttributeError, OSError, ValueError):
            self._origin = None

    def readable(self) -> bool:
        return True

    @property
    def name(self) -> object:
        """The name of the input, when it has one."""
        return getattr(self._in, "name", None)

    def _next_batch(self) -> None:
        """Read and decode the next block of input. One batch is held back
        until the next one has been read and checked, so the end of the data
        leaves only with the END line (and nothing after it) verified."""
        block = self._in.read(_BATCH)
        data, state, fault = _codec.armor_decode(self._decoder, block, not block)
        if fault is not None:
            self._held = bytearray()
            raise fault_error(fault, self._label)
        if state == 2:
            self._held += data
            ready, self._held = self._held, bytearray()
            self._done = True
        else:
            ready, self._held = self._held, data
        self._buffer, self._pos = ready, 0

    @property
    def label(self) -> str:
        """The label on the block's BEGIN and END lines."""
        return self._label

    def tell(self) -> int:
        """The number of decoded bytes read so far (the reader cannot seek)."""
        return self._handed

    def source(self) -> tuple[IO[bytes], Optional[int]]:
        """The input and the offset the block's text starts at in it (None
        when unknown), for a reader of the whole input that starts over."""
        return self._in, self._origin

    def readinto(self, buffer: "WriteableBuffer") -> int:
        with memoryview(buffer) as view:
            mv = view.cast("B")
            if not len(mv):
                return 0
            while self._pos == len(self._buffer) and not self._done:
                self._next_batch()
            n = min(len(mv), len(self._buffer) - self._pos)
            with memoryview(self._buffer) as ready:
                mv[:n] = ready[self._pos : self._pos + n]
            self._pos += n
            self._handed += n
            return n
