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
4096 bytes). Anything else raises :class:`ArmorError`
at the point where it is read.
"""

from __future__ import annotations

import base64
import binascii
import io
import itertools
import struct
from typing import IO, TYPE_CHECKING, Optional

from ._formats import StreamError

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer, WriteableBuffer

__all__ = ["ArmorError", "ArmorWriter", "ArmorReader", "BEGIN_LINE", "END_LINE", "is_armored",
           "STREAM_LABEL", "FILE_LABEL"]

BEGIN_LINE = b"-----BEGIN TARNEL ENCRYPTED STREAM-----"
END_LINE = b"-----END TARNEL ENCRYPTED STREAM-----"
# The labels of the BEGIN and END lines: a stream, and a file of the format
# for several recipients (tarnel.files), under the same line rules.
STREAM_LABEL = "TARNEL ENCRYPTED STREAM"
FILE_LABEL = "TARNEL ENCRYPTED FILE"
LINE_CHARS = 64
_LINE_BYTES = LINE_CHARS // 4 * 3  # 48 bytes per full line
_WHITESPACE = b" \t\r\n"
# Whitespace accepted after the END line (before the BEGIN line, any amount).
MAX_SURROUNDING_WHITESPACE = 4096
_ALPHABET = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
_ALPHABET_AND_PAD = _ALPHABET + b"="
# Input is read in blocks of this size and decoded a block of lines at once.
_BATCH = 1 << 16
_LINE_WITH_END = LINE_CHARS + 1
# Lines cut at once when writing.
_BLOCK_OF_LINES = struct.Struct(f"{LINE_CHARS}s" * 64)
_BLOCK_CHARS = _BLOCK_OF_LINES.size


def _lines(encoded: bytes) -> bytes:
    """``encoded`` (a multiple of LINE_CHARS characters) cut into lines, each
    ending in LF. Blocks of lines are cut by one struct unpack each, which
    is several times faster than slicing line by line."""
    bulk = len(encoded) // _BLOCK_CHARS * _BLOCK_CHARS
    parts = list(itertools.chain.from_iterable(_BLOCK_OF_LINES.iter_unpack(
        memoryview(encoded)[:bulk])))
    parts.extend(encoded[i : i + LINE_CHARS] for i in range(bulk, len(encoded), LINE_CHARS))
    parts.append(b"")
    return b"\n".join(parts)


class ArmorError(StreamError):
    """Armored input that is not a well-formed armor block."""


def is_armored(head: bytes) -> bool:
    """Whether the first bytes of an input start an armor block (after any
    whitespace). ``head`` should hold at least the first 64 bytes."""
    return head.lstrip(_WHITESPACE).startswith(b"-----BEGIN ")


class ArmorWriter(io.RawIOBase):
    """Writes Base64 lines of what it is given to ``fileobj``.

    The BEGIN line goes out with the first write (or at :meth:`finish`); the
    last line and the END line go out at :meth:`finish`, which must be called
    once the stream is complete. ``fileobj`` is never closed here.
    ``label`` names the block on its BEGIN and END lines.
    """

    def __init__(self, fileobj: IO[bytes], label: str = STREAM_LABEL) -> None:
        super().__init__()
        self._out = fileobj
        self._begin = f"-----BEGIN {label}-----".encode("ascii")
        self._end = f"-----END {label}-----".encode("ascii")
        self._pending = bytearray()
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
        with memoryview(data) as view:
            mv = view.cast("B")
            n = len(mv)
            self._pending += mv
        whole = len(self._pending) // _LINE_BYTES * _LINE_BYTES
        if whole:
            encoded = binascii.b2a_base64(self._pending[:whole], newline=False)
            del self._pending[:whole]
            self._out.write(_lines(encoded))
        return n

    def flush(self) -> None:
        if not self.closed:
            self._out.flush()

    def finish(self) -> None:
        """Write the last line and the END line (once)."""
        if self._finished:
            return
        self._start()
        tail = base64.b64encode(bytes(self._pending)) + b"\n" if self._pending else b""
        self._pending.clear()
        self._out.write(tail + self._end + b"\n")
        self._out.flush()
        self._finished = True

    def close(self) -> None:
        # Closing does not finish: an unfinished block stays visibly cut.
        self._pending.clear()
        super().close()


class ArmorReader(io.RawIOBase):
    """Reads an armor block from ``fileobj`` and returns the bytes it holds."""

    def __init__(self, fileobj: IO[bytes]) -> None:
        super().__init__()
        self._in = fileobj
        self._line_no = 0
        self._buffer = b""  # decoded bytes not yet returned, from _pos on
        self._pos = 0
        self._held = b""  # the last batch read, released with the next one
        self._state = "begin"  # begin, body, done
        self._short = False  # a short (last) data line was read
        self._carry = b""  # the start of a line not yet complete

    def readable(self) -> bool:
        return True

    @property
    def name(self) -> object:
        """The name of the input, when it has one."""
        return getattr(self._in, "name", None)

    def _begin(self) -> None:
        """Skip the whitespace before the BEGIN line, any amount of it, a
        block at a time; then check the BEGIN line."""
        indent = b""  # whitespace since the last line end
        while True:
            block = self._carry or self._in.read(_BATCH)
            self._carry = b""
            if not block:
                raise ArmorError("armor: no BEGIN line (the input holds only whitespace)")
            rest = block.lstrip(_WHITESPACE)
            space = block[: len(block) - len(rest)]
            self._line_no += space.count(b"\n")
            cut = space.rfind(b"\n")
            indent = space[cut + 1 :] if cut >= 0 else (indent + space)[-LINE_CHARS:]
            if rest:
                break
        # Complete the BEGIN line.
        while b"\n" not in rest and len(rest) <= LINE_CHARS + 2:
            more = self._in.read(_BATCH)
            if not more:
                break
            rest += more
        line, end, self._carry = rest.partition(b"\n")
        self._line_no += 1
        if end and line.endswith(b"\r"):
            line = line[:-1]
        line = indent + line
        if b"\r" in line:
            raise ArmorError(f"armor: stray carriage return on line {self._line_no}")
        if line.rstrip(b" \t") != BEGIN_LINE:
            shown = line[:60].decode("ascii", "replace")
            raise ArmorError(
                f"armor: expected {BEGIN_LINE.decode()!r} on line {self._line_no}, "
                f"found {shown!r}"
            )
        self._state = "body"

    def _data_line(self, line: bytes) -> Optional[bytes]:
        """Decoded bytes of one data line; None for the END line."""
        if b"\r" in line:
            raise ArmorError(f"armor: stray carriage return on line {self._line_no}")
        if line.startswith(b"-----"):
            if line.rstrip(b" \t") != END_LINE:
                shown = line[:60].decode("ascii", "replace")
                raise ArmorError(
                    f"armor: expected {END_LINE.decode()!r} on line {self._line_no}, "
                    f"found {shown!r}"
                )
            return None
        if self._short:
            raise ArmorError(
                f"armor: line {self._line_no - 1} is shorter than {LINE_CHARS} "
                "characters but is not the last line"
            )
        if not 0 < len(line) <= LINE_CHARS or len(line) % 4:
            raise ArmorError(
                f"armor: line {self._line_no} has {len(line)} characters "
                f"(expected {LINE_CHARS}, or a multiple of 4 on the last line)"
            )
        if line.translate(None, _ALPHABET_AND_PAD):
            raise ArmorError(f"armor: line {self._line_no} is not Base64")
        try:
            data = base64.b64decode(line, validate=True)
        except (binascii.Error, ValueError):
            raise ArmorError(f"armor: line {self._line_no} is not valid Base64") from None
        if base64.b64encode(data) != line:
            raise ArmorError(f"armor: line {self._line_no} has non-canonical Base64 padding")
        if len(line) < LINE_CHARS or line.endswith(b"="):
            self._short = True
        return data

    def _next_raw(self) -> bytes:
        """The next complete lines of input with their line ends, at least
        one unless the input is over (then b""); a last line without a line
        end included."""
        while True:
            block = self._in.read(_BATCH)
            data = self._carry + block
            if not block:
                self._carry = b""
                return data
            cut = data.rfind(b"\n")
            if cut < 0:
                if len(data) > LINE_CHARS + 2:
                    raise ArmorError(
                        f"armor: line {self._line_no + 1} is longer than {LINE_CHARS} characters"
                    )
                self._carry = data
                continue
            self._carry = data[cut + 1 :]
            if len(self._carry) > LINE_CHARS + 2:
                lines = data.count(b"\n", 0, cut + 1)
                raise ArmorError(
                    f"armor: line {self._line_no + lines + 1} is longer than "
                    f"{LINE_CHARS} characters"
                )
            return data[: cut + 1]

    def _full_lines(self, raw: bytes) -> Optional[bytes]:
        """The decoded bytes of ``raw`` when it is only full data lines, all
        ending in LF or all in CRLF, without padding; None when it needs the
        line-by-line checks."""
        if self._short:
            return None
        count, rest = divmod(len(raw), _LINE_WITH_END)
        if not rest and raw[LINE_CHARS::_LINE_WITH_END] == b"\n" * count:
            body = raw.replace(b"\n", b"")
        else:
            count, rest = divmod(len(raw), _LINE_WITH_END + 1)
            if (rest or raw[LINE_CHARS::_LINE_WITH_END + 1] != b"\r" * count
                    or raw[LINE_CHARS + 1 :: _LINE_WITH_END + 1] != b"\n" * count):
                return None
            body = raw.replace(b"\r\n", b"")
        if len(body) != count * LINE_CHARS or body.translate(None, _ALPHABET):
            return None
        self._line_no += count
        return binascii.a2b_base64(body)

    def _next_data(self) -> bytes:
        """Decoded bytes of the next lines; b"" once the END line is read."""
        raw = self._next_raw()
        if not raw:
            raise ArmorError("armor: the input ends without the END line")
        fast = self._full_lines(raw)
        if fast is not None:
            return fast
        lines = raw[:-1].split(b"\n") if raw.endswith(b"\n") else raw.split(b"\n")
        out = []
        for i, line in enumerate(lines):
            self._line_no += 1
            if line.endswith(b"\r") and (i + 1 < len(lines) or raw.endswith(b"\n")):
                line = line[:-1]
            data = self._data_line(line)
            if data is None:
                rest = b"".join(lines[i + 1 :]) + self._carry
                self._carry = b""
                if rest.strip(_WHITESPACE):
                    raise ArmorError("armor: unexpected data after the END line")
                self._end(len(rest))
                break
            out.append(data)
        return b"".join(out)

    def _end(self, seen: int = 0) -> None:
        """After the END line: only whitespace up to the end of the input."""
        while block := self._in.read(1024):
            if block.strip(_WHITESPACE):
                raise ArmorError("armor: unexpected data after the END line")
            seen += len(block)
            if seen > MAX_SURROUNDING_WHITESPACE:
                raise ArmorError("armor: too much whitespace after the END line")
        self._state = "done"

    def readinto(self, buffer: "WriteableBuffer") -> int:
        with memoryview(buffer) as view:
            mv = view.cast("B")
            if not len(mv):
                return 0
            if self._state == "begin":
                self._begin()
            while self._pos == len(self._buffer) and self._state == "body":
                # One batch is held back until the next one has been read and
                # checked, so the end of the data leaves only with the END
                # line (and nothing after it) verified.
                data = self._next_data()
                if self._state == "body":
                    ready, self._held = self._held, data
                else:
                    ready, self._held = self._held + data, b""
                self._buffer, self._pos = ready, 0
            n = min(len(mv), len(self._buffer) - self._pos)
            mv[:n] = self._buffer[self._pos : self._pos + n]
            self._pos += n
            return n
