"""Encrypt and decrypt files and binary streams with the chunked stream format.

A stream is a header (ML-KEM capsule, 12-byte base nonce, big-endian 32-bit
chunk size) followed by frames ``[length (4, big-endian) | ciphertext | tag
(16)]`` and a zero-length frame, the end-of-stream marker. Every frame is
AES-256-GCM under the encapsulated key, bound to its index.

This module writes that framing, reads it through the package's one
reader of the formats, and leaves the cryptography to the native handles.
Every write is checked to completion. Its reader is strict: a frame longer than
the header's chunk size is refused before it is read, a stream without its
end-of-stream marker raises :class:`TruncatedStreamError`, and bytes after
the marker raise :class:`TrailingDataError`. Its writer never emits an empty
data frame, so a zero-length frame always means the end. Memory use is
bounded by the chunk size, whatever the length of the input.
"""

from __future__ import annotations

import io
import os
import stat
import sys
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import IO, TYPE_CHECKING, Any, Optional, Union, cast

from . import _formats, _tarnel_fileio
from ._files import OutputFile, _names_a_descriptor, close_input, write_all
from ._pipeline import WriteBehind, channel_depth, widen_pipe, worth_a_thread
from ._formats import (
    FrameSource,
    FrameTooLargeError,
    NotAStreamError,
    StreamError,
    StreamLevelError,
    TrailingDataError,
    TruncatedStreamError,
)
from ._tarnel_core import (
    DecryptionError,
    InvalidParameterError,
    SecurityLevel,
    StreamDecryptorHandle,
    StreamEncryptorHandle,
    TarnelError,
    stream_decryptor_from_header,
    stream_encryptor_new,
)

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer, WriteableBuffer

__all__ = [
    "DEFAULT_CHUNK_SIZE",
    "MAX_CHUNK_SIZE",
    "StreamError",
    "TruncatedStreamError",
    "TrailingDataError",
    "FrameTooLargeError",
    "NotAStreamError",
    "StreamLevelError",
    "InputChangedError",
    "StreamWriter",
    "StreamReader",
    "open_encryptor",
    "open_decryptor",
    "encrypt_file",
    "decrypt_file",
    "public_key_level",
    "secret_key_level",
    "stream_header_length",
]

DEFAULT_CHUNK_SIZE = _formats.DEFAULT_CHUNK_SIZE
MAX_CHUNK_SIZE = _formats.MAX_CHUNK_SIZE
TAG_LEN = _formats.TAG_LEN
LENGTH_LEN = _formats.LENGTH_LEN

_PUBLIC_KEY_LEVEL = {n: v for v, n in _formats.PUBLIC_KEY_LEN.items()}
_SECRET_KEY_LEVEL = {n: v for v, n in _formats.SECRET_KEY_LEN.items()}

LevelLike = Union[SecurityLevel, int]
"""A :class:`SecurityLevel` or its number: 512, 768 or 1024."""
ProgressCallback = Callable[[int, Optional[int]], None]
"""Called as ``progress(done, total)``: input bytes processed so far, and the
input's total size when it is known (else ``None``)."""
PathLike = Union[str, "os.PathLike[str]"]
Source = Union[PathLike, IO[bytes]]
Destination = Union[PathLike, IO[bytes]]


class InputChangedError(TarnelError, OSError):
    """The input file changed while it was being encrypted: it ended before
    the size it had when encryption began, went on past it, or its size,
    modification time or change time differ at its end from its start.

    Raised before the end-of-stream marker is written, so the stream is
    never complete; a path destination is discarded. ``filename`` names the
    input ("standard input" for descriptor 0), when it has a name. A change
    that keeps the size and falls within one tick of the file system's clock
    is beyond what can be seen.
    """

    def __init__(self, name: Optional[str]) -> None:
        super().__init__(self._message(name))
        self.filename = name

    @staticmethod
    def _message(name: Optional[str]) -> str:
        return f"{name if name is not None else 'the input'} changed while it was being read"

    def __str__(self) -> str:
        return self._message(self.filename)

    def __reduce__(self) -> tuple[type, tuple[Optional[str]]]:
        return type(self), (self.filename,)


# ---------------------------------------------------------------------------
# Levels


def _level_value(level: LevelLike) -> int:
    if isinstance(level, SecurityLevel):
        return int(level)
    if isinstance(level, int) and not isinstance(level, bool):
        if level in _formats.LEVELS:
            return level
        raise InvalidParameterError(
            f"unknown security level {level} (expected 512, 768 or 1024)"
        )
    # Never the value itself: a misplaced argument may be a secret key.
    raise InvalidParameterError(
        f"unknown security level: a {type(level).__name__} is not a level "
        "(expected a SecurityLevel, 512, 768 or 1024)"
    )


def _key_bytes(key: object, what: str) -> bytes:
    if isinstance(key, bytes):
        return key
    if isinstance(key, (bytearray, memoryview)):
        return bytes(key)
    raise TypeError(f"{what} must be bytes, not {type(key).__name__}")


def _infer_level(
    key: bytes, table: dict[int, int], kind: str, level: Optional[LevelLike]
) -> SecurityLevel:
    inferred = table.get(len(key))
    if inferred is None:
        sizes = ", ".join(str(n) for n in table)
        raise InvalidParameterError(
            f"a {kind} key of {len(key)} bytes fits no security level "
            f"(expected {sizes} bytes for ML-KEM-512, -768, -1024)"
        )
    if level is not None:
        wanted = _level_value(level)
        if wanted != inferred:
            raise InvalidParameterError(
                f"security level ML-KEM-{wanted} contradicts the {kind} key, "
                f"whose {len(key)} bytes make it ML-KEM-{inferred}"
            )
    return _formats.level_object(inferred)


def public_key_level(
    public_key: bytes, level: Optional[LevelLike] = None
) -> SecurityLevel:
    """Return the security level of an ML-KEM public key from its length.

    800, 1184 and 1568 bytes give ML-KEM-512, -768 and -1024. Raises
    :class:`InvalidParameterError` for any other length, or when ``level`` is
    given and names another level than the key's.
    """
    return _infer_level(
        _key_bytes(public_key, "public_key"), _PUBLIC_KEY_LEVEL, "public", level
    )


def secret_key_level(
    secret_key: bytes, level: Optional[LevelLike] = None
) -> SecurityLevel:
    """Return the security level of an ML-KEM secret key from its length.

    1632, 2400 and 3168 bytes give ML-KEM-512, -768 and -1024. Raises
    :class:`InvalidParameterError` for any other length, or when ``level`` is
    given and names another level than the key's.
    """
    return _infer_level(
        _key_bytes(secret_key, "secret_key"), _SECRET_KEY_LEVEL, "secret", level
    )


def stream_header_length(level: LevelLike) -> int:
    """Return the stream header length at ``level``: capsule plus 16 bytes."""
    return _formats.HEADER_LEN[_level_value(level)]


# ---------------------------------------------------------------------------
# Files and paths


def _is_path(obj: object) -> bool:
    return isinstance(obj, (str, os.PathLike))


def _input_size(f: IO[bytes]) -> Optional[int]:
    """Bytes left to read in ``f`` when that is knowable, else None."""
    try:
        st = os.fstat(f.fileno())
    except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
        st = None
    try:
        if st is not None and not stat.S_ISREG(st.st_mode):
            return None
        if f.seekable():
            pos = f.tell()
            end = f.seek(0, io.SEEK_END)
            f.seek(pos)
            return max(end - pos, 0)
    except (OSError, ValueError, io.UnsupportedOperation):
        pass
    return None


def name_of(f: object) -> Optional[str]:
    """What messages call the file ``f``: its path, "standard input" or
    "standard output" for descriptors 0 and 1, or None when it has no name."""
    name = getattr(f, "name", None)
    if name == "<stdin>" or name == 0:
        return "standard input"
    if name == "<stdout>" or name == 1:
        return "standard output"
    if isinstance(name, bytes):
        return os.fsdecode(name)
    return name if isinstance(name, str) else None


class _NamedReads:
    """Reads ``f`` and names it in the read errors that name no file."""

    def __init__(self, f: IO[bytes], name: Optional[str]) -> None:
        self._f = f
        self._name = name

    def read(self, n: int = -1) -> Optional[bytes]:
        try:
            return self._f.read(n)
        except OSError as e:
            if e.filename is not None or self._name is None or e.errno is None:
                raise
            raise OSError(e.errno, e.strerror or str(e), self._name) from None


class _InputWatch:
    """Tells whether a regular file changed while it was read from its
    current offset to its end: the bytes read must come to the size it had
    at the start, and its size, modification and change times must be the
    same at the end. Other inputs (pipes, devices, file objects without a
    descriptor) are not watched."""

    def __init__(self, f: IO[bytes], expected: Optional[int]) -> None:
        self._f = f
        self._name = name_of(f)
        self._before: Optional[tuple[int, int, int]] = None
        self._expected = expected
        try:
            st = os.fstat(f.fileno())
        except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
            return
        if stat.S_ISREG(st.st_mode) and expected is not None:
            self._before = (st.st_size, st.st_mtime_ns, st.st_ctime_ns)

    def changed(self) -> InputChangedError:
        return InputChangedError(self._name)

    def check(self, done: int) -> None:
        """Raise when ``done`` bytes read go past the input's size."""
        if self._before is not None and self._expected is not None and done > self._expected:
            raise self.changed()

    def check_end(self, done: int) -> None:
        """Raise unless the input ended where it should have, unchanged."""
        if self._before is None:
            return
        if done != self._expected:
            raise self.changed()
        st = os.fstat(self._f.fileno())
        if (st.st_size, st.st_mtime_ns, st.st_ctime_ns) != self._before:
            raise self.changed()


@contextmanager
def _open_source(src: Source) -> Iterator[tuple[IO[bytes], Optional[int]]]:
    if _is_path(src):
        owned = open(cast(PathLike, src), "rb")
        try:
            yield owned, _input_size(owned)
        finally:
            close_input(owned)
    else:
        given = cast(IO[bytes], src)
        yield given, _input_size(given)


@contextmanager
def _output(dst: Destination) -> Iterator[IO[bytes]]:
    """Yield a binary file for ``dst``.

    A path gets an :class:`OutputFile`, committed when the block ends
    without an exception and discarded otherwise. A file object is yielded
    as it is and left open.
    """
    if not _is_path(dst):
        yield cast(IO[bytes], dst)
        return
    f = OutputFile(cast(PathLike, dst))
    try:
        yield cast(IO[bytes], f)
        f.commit()
    finally:
        f.close()


def _check_chunk_size(chunk_size: object) -> int:
    if isinstance(chunk_size, bool) or not isinstance(chunk_size, int):
        raise TypeError(
            f"chunk_size must be an int, not {type(chunk_size).__name__}"
        )
    if not 1 <= chunk_size <= MAX_CHUNK_SIZE:
        raise InvalidParameterError(
            f"chunk_size must be between 1 and {MAX_CHUNK_SIZE} bytes, "
            f"got {chunk_size}"
        )
    return chunk_size


# ---------------------------------------------------------------------------
# Writer


class StreamWriter(io.BufferedIOBase):
    """A binary file that encrypts what is written to it into ``fileobj``.

    The header goes out at construction; data frames of exactly
    ``chunk_size`` plaintext bytes go out as they fill, and :meth:`close`
    sends the last partial frame (never an empty one) and the end-of-stream
    marker. Leaving a ``with`` block by an exception calls :meth:`abort`
    instead, so the stream stays visibly incomplete; so does dropping an
    unclosed writer. ``flush`` flushes ``fileobj`` but does not cut a frame.

    Attributes: ``level`` (from the key), ``chunk_size``, ``bytes_in``
    (plaintext accepted) and ``bytes_out`` (stream bytes written).
    """

    def __init__(
        self,
        fileobj: IO[bytes],
        recipient_public_key: bytes,
        *,
        level: Optional[LevelLike] = None,
        chunk_size: int = DEFAULT_CHUNK_SIZE,
        close_fileobj: bool = False,
    ) -> None:
        super().__init__()
        key = _key_bytes(recipient_public_key, "recipient_public_key")
        self.level: SecurityLevel = public_key_level(key, level)
        _check_chunk_size(chunk_size)
        self._raw = fileobj
        self._close_fileobj = close_fileobj
        self.chunk_size = chunk_size
        header, handle = stream_encryptor_new(key, chunk_size, self.level)
        self._handle: Optional[StreamEncryptorHandle] = handle
        self._buf = bytearray()
        write_all(self._raw, header)
        self.bytes_in = 0
        self.bytes_out = len(header)

    def writable(self) -> bool:
        return True

    @property
    def name(self) -> object:
        """The name of the underlying file, when it has one."""
        return getattr(self._raw, "name", None)

    def _emit(self, chunk: bytes) -> None:
        assert self._handle is not None
        frame = self._handle.encrypt_chunk(chunk)
        write_all(self._raw, frame)
        self.bytes_out += len(frame)

    def write(self, data: ReadableBuffer) -> int:
        """Encrypt ``data``; return its length. Full chunks go out at once."""
        if self.closed or self._handle is None:
            raise ValueError("write to a closed stream writer")
        if type(data) is bytes and len(data) == self.chunk_size and not self._buf:
            self._emit(data)  # the common case of whole-chunk reads: no copy
            self.bytes_in += len(data)
            return len(data)
        with memoryview(data) as view:
            mv = view.cast("B")
            n = len(mv)
            cs = self.chunk_size
            off = 0
            if self._buf:
                take = min(cs - len(self._buf), n)
                self._buf += mv[:take]
                off = take
                if len(self._buf) == cs:
                    self._emit(bytes(self._buf))
                    self._buf.clear()
            while n - off >= cs:
                self._emit(bytes(mv[off : off + cs]))
                off += cs
            if off < n:
                self._buf += mv[off:]
        self.bytes_in += n
        return n

    def flush(self) -> None:
        if not self.closed:
            self._raw.flush()

    def close(self) -> None:
        """Send the last frame and the end-of-stream marker, then close."""
        if self.closed:
            return
        try:
            if self._handle is not None:
                if self._buf:
                    self._emit(bytes(self._buf))
                    self._buf.clear()
                handle, self._handle = self._handle, None
                marker = handle.finalize()
                write_all(self._raw, marker)
                self.bytes_out += len(marker)
                self._raw.flush()
        finally:
            self._release()

    def abort(self) -> None:
        """Close without the end-of-stream marker: readers will see truncation."""
        if self.closed:
            return
        self._handle = None
        self._buf.clear()
        self._release()

    def _release(self) -> None:
        try:
            if self._close_fileobj:
                self._raw.close()
        finally:
            super().close()

    def __exit__(self, exc_type: object, exc: object, tb: object) -> None:
        if exc_type is not None:
            self.abort()
        else:
            self.close()

    def __del__(self) -> None:
        # An unclosed writer is abandoned, never completed.
        if not getattr(self, "closed", True):
            try:
                self.abort()
            except Exception:
                pass


class _PathStreamWriter(StreamWriter):
    """A writer whose output file appears only when the stream is complete."""

    def __init__(self, path: PathLike, recipient_public_key: bytes,
                 *, level: Optional[LevelLike], chunk_size: int) -> None:
        self._file = OutputFile(path)
        try:
            super().__init__(cast(IO[bytes], self._file), recipient_public_key,
                             level=level, chunk_size=chunk_size)
        except BaseException:
            self._file.close()
            raise

    def close(self) -> None:
        if self.closed:
            return
        try:
            super().close()
            self._file.commit()
        finally:
            self._file.close()

    def abort(self) -> None:
        try:
            super().abort()
        finally:
            file = getattr(self, "_file", None)
            if file is not None:
                file.close()


def open_encryptor(
    dst: Destination,
    recipient_public_key: bytes,
    *,
    level: Optional[LevelLike] = None,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
) -> StreamWriter:
    """Return a :class:`StreamWriter` that encrypts into ``dst``.

    ``dst`` is a path or a binary file object. A path is written to a
    temporary file in the same directory that :meth:`StreamWriter.close`
    syncs and renames into place; an aborted writer leaves no file behind.
    When the file is in place but syncing its directory or closing it fails,
    ``close()`` raises :class:`~tarnel.OutputNotDurableError` and the
    file stays. A path that names a device, FIFO or socket is written
    straight through. A file object is not closed by the writer.
    """
    if _is_path(dst):
        return _PathStreamWriter(
            cast(PathLike, dst),
            recipient_public_key,
            level=level,
            chunk_size=chunk_size,
        )
    return StreamWriter(
        cast(IO[bytes], dst),
        recipient_public_key,
        level=level,
        chunk_size=chunk_size,
    )


# ---------------------------------------------------------------------------
# Reader


class StreamReader(io.BufferedIOBase):
    """A binary file that decrypts the stream read from ``fileobj``.

    The header is read and checked at construction: input framed for no
    level raises :class:`NotAStreamError`, a stream made for another level
    than the key's :class:`StreamLevelError`. ``read`` returns
    authenticated plaintext chunk by chunk and returns ``b""`` only after the
    end-of-stream marker has verified and ``fileobj`` has shown its end. A
    stream that stops early raises :class:`TruncatedStreamError`, bytes after
    the marker :class:`TrailingDataError`, a frame longer than the chunk size
    :class:`FrameTooLargeError` (before its body is read) and a frame that
    does not authenticate :class:`DecryptionError`. After a failure every
    further read raises the same error again.

    Plaintext is returned before the end of the stream is known: discard it
    unless reading reaches ``b""`` without an exception.

    Attributes: ``level`` (from the key), ``chunk_size`` (from the header),
    ``frames`` (data frames decrypted), ``bytes_in`` (stream bytes read),
    ``bytes_out`` (plaintext produced) and ``complete``.
    """

    def __init__(
        self,
        fileobj: IO[bytes],
        secret_key: bytes,
        *,
        level: Optional[LevelLike] = None,
        close_fileobj: bool = False,
    ) -> None:
        super().__init__()
        key = _key_bytes(secret_key, "secret_key")
        self.level: SecurityLevel = secret_key_level(key, level)
        self._raw = fileobj
        self._src = FrameSource(fileobj)
        self._close_fileobj = close_fileobj
        self._handle: Optional[StreamDecryptorHandle] = None
        self._pending = b""
        self._pos = 0
        self._eof = False
        self._error: Optional[BaseException] = None
        self.frames = 0
        self.bytes_out = 0
        try:
            header = self._src.read_header(int(self.level))
            self._handle = stream_decryptor_from_header(header, key, self.level)
            self.chunk_size: int = self._handle.chunk_size()
        except BaseException:
            self._release()
            raise

    def readable(self) -> bool:
        return True

    @property
    def name(self) -> object:
        """The name of the underlying file, when it has one."""
        return getattr(self._raw, "name", None)

    @property
    def bytes_in(self) -> int:
        """Stream bytes consumed so far."""
        return self._src.bytes_in

    def _fail(self, error: BaseException) -> BaseException:
        self._error = error
        self._pending = b""
        self._pos = 0
        if self._handle is not None:
            handle, self._handle = self._handle, None
            handle.finalize()
        return error

    def _next_chunk(self) -> bool:
        """Decrypt the next frame into the pending buffer; False at the end."""
        if self._error is not None:
            raise self._error
        if self._eof:
            return False
        handle = self._handle
        if handle is None:
            raise ValueError("read from a closed stream reader")
        index = self.frames
        try:
            length, body = self._src.next_frame(self.chunk_size, index)
            if length == 0:
                handle.process_eof(body)
                self._handle = None
                handle.finalize()
                self._src.check_end()
                self._eof = True
                return False
            plain = handle.decrypt_chunk(body[:length], body[length:])
        except Exception as e:
            raise self._fail(e) from None
        except BaseException:
            self._fail(StreamError("reading the stream was interrupted"))
            raise
        self.frames += 1
        self.bytes_out += len(plain)
        self._pending = plain
        self._pos = 0
        return True

    def read1(self, size: Optional[int] = -1) -> bytes:
        """Return up to ``size`` bytes from at most one frame."""
        self._check_open()
        if size == 0:
            return b""
        while self._pos >= len(self._pending):
            if not self._next_chunk():
                return b""
        end = len(self._pending) if size is None or size < 0 else self._pos + size
        out = self._pending[self._pos : end]
        self._pos += len(out)
        return out

    def read(self, size: Optional[int] = -1) -> bytes:
        """Return ``size`` bytes (fewer only at the end), or all with -1."""
        self._check_open()
        if size is None or size < 0:
            parts = []
            while chunk := self.read1():
                parts.append(chunk)
            return b"".join(parts)
        parts = []
        left = size
        while left > 0:
            chunk = self.read1(left)
            if not chunk:
                break
            parts.append(chunk)
            left -= len(chunk)
        return b"".join(parts)

    def readinto(self, buffer: WriteableBuffer) -> int:
        with memoryview(buffer) as view:
            mv = view.cast("B")
            n = 0
            while n < len(mv):
                chunk = self.read1(len(mv) - n)
                if not chunk:
                    break
                mv[n : n + len(chunk)] = chunk
                n += len(chunk)
            return n

    def readinto1(self, buffer: WriteableBuffer) -> int:
        with memoryview(buffer) as view:
            mv = view.cast("B")
            chunk = self.read1(len(mv))
            mv[: len(chunk)] = chunk
            return len(chunk)

    @property
    def complete(self) -> bool:
        """True once the end-of-stream marker verified with nothing after it."""
        return self._eof

    def _check_open(self) -> None:
        if self.closed:
            raise ValueError("read from a closed stream reader")

    def close(self) -> None:
        if self.closed:
            return
        self._release()

    def _release(self) -> None:
        try:
            if self._handle is not None:
                handle, self._handle = self._handle, None
                handle.finalize()
            if self._close_fileobj:
                self._raw.close()
        finally:
            self._pending = b""
            super().close()


def open_decryptor(
    src: Source, secret_key: bytes, *, level: Optional[LevelLike] = None
) -> StreamReader:
    """Return a :class:`StreamReader` over ``src``, a path or binary file.

    A path is opened here and closed with the reader; a file object is left
    open.
    """
    if _is_path(src):
        f = open(cast(PathLike, src), "rb")
        try:
            return StreamReader(f, secret_key, level=level, close_fileobj=True)
        except BaseException:
            f.close()
            raise
    return StreamReader(cast(IO[bytes], src), secret_key, level=level)


# ---------------------------------------------------------------------------
# Whole files


def encrypt_file(
    src: Source,
    dst: Destination,
    recipient_public_key: bytes,
    *,
    level: Optional[LevelLike] = None,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    progress: Optional[ProgressCallback] = None,
) -> int:
    """Encrypt ``src`` into ``dst`` for the holder of ``recipient_public_key``.

    ``src`` and ``dst`` are paths or binary file objects. The level comes
    from the key's length; an explicit ``level`` must agree with it. A path
    ``dst`` appears only once the stream is complete. ``progress`` is called
    after each chunk with the plaintext bytes read so far and the total when
    known. Returns the number of plaintext bytes encrypted.

    Raises :class:`OSError` naming ``dst`` when the output cannot be
    written (nothing is left of it), and
    :class:`~tarnel.OutputNotDurableError` when the stream is whole
    and in place at ``dst`` but syncing its directory or closing it failed:
    the file is kept, and a crash may still lose it.
    """
    key = _key_bytes(recipient_public_key, "recipient_public_key")
    lvl = public_key_level(key, level)
    chunk_size = _check_chunk_size(chunk_size)
    with _open_source(src) as (fin, total):
        with _output(dst) as fout:
            native = _native_pair(fin, fout)
            encrypt_fd = _tarnel_fileio.encrypt_fd
            armored = _armored_output(fout) if native is None else None
            if armored is not None:
                native = _native_pair(fin, armored[1])
                if native is not None:
                    armored[0]()  # the block is written natively from here
                    encrypt_fd = _tarnel_fileio.encrypt_armored_fd
            if native is not None:
                in_fd, start, target = native
                if progress is not None:
                    progress(0, total)
                outcome, written = encrypt_fd(
                    in_fd, start, target.fileno(), target.path, key, chunk_size, int(lvl),
                    progress, total, name_of(fin))
                fin.seek(start + written)
                if outcome != _COMPLETE:
                    raise InputChangedError(name_of(fin))
                return int(written)
            widen_pipe(fin)
            widen_pipe(fout)
            piped = _pipe_pair(fin, fout)
            if piped is not None:
                prefix = _take_buffered(fin)
                fout.flush()
                if progress is not None:
                    progress(0, total)
                return int(_tarnel_fileio.encrypt_stream_fd(
                    piped[0], prefix, piped[1], _path_or_name(fout), key, chunk_size, int(lvl),
                    progress, total, name_of(fin)))
            header, handle = stream_encryptor_new(key, chunk_size, lvl)
            done = 0
            watch = _InputWatch(fin, total)
            with WriteBehind(_batch_writer(fout), threaded=worth_a_thread(fout, chunk_size),
                             depth=channel_depth(chunk_size)) as out:
                out.put(header)
                if progress is not None:
                    progress(0, total)
                for chunk in _read_chunks(_NamedReads(fin, name_of(fin)), chunk_size):
                    out.put(handle.encrypt_chunk(chunk))
                    done += len(chunk)
                    watch.check(done)
                    if progress is not None:
                        progress(done, total)
                watch.check_end(done)
                out.put(handle.finalize())
                out.finish()
            fout.flush()
            return done


def decrypt_file(
    src: Source,
    dst: Destination,
    secret_key: bytes,
    *,
    level: Optional[LevelLike] = None,
    progress: Optional[ProgressCallback] = None,
) -> int:
    """Decrypt the stream in ``src`` into ``dst`` with ``secret_key``.

    ``src`` and ``dst`` are paths or binary file objects. A path ``dst`` is
    written to a temporary file beside it, synced and renamed into place
    only after the end-of-stream marker verified; any failure (a damaged
    stream, a full disk) removes it, so no partial plaintext is left. A
    file object ``dst``, or a path naming a device, FIFO or socket, receives
    plaintext as each chunk authenticates: on an exception its contents
    must be discarded. Every write is checked to completion.
    ``progress`` is called after each frame with the stream bytes read so far
    and the stream's total size when known. Returns the number of plaintext
    bytes written.

    Raises :class:`NotAStreamError` for input that is not a stream,
    :class:`StreamLevelError` for a stream made for another security level
    than the key's, :class:`TruncatedStreamError`,
    :class:`TrailingDataError` or :class:`FrameTooLargeError` for a stream
    that is not intact, :class:`DecryptionError` for one not meant for this
    key, and :class:`OSError` (naming ``dst``) when the output cannot be
    written. :class:`~tarnel.OutputNotDurableError` (an OSError with
    ``committed`` True) means the plaintext is whole and in place at
    ``dst`` but syncing its directory or closing it failed: it is kept, and
    a crash may still lose it.
    """
    key = _key_bytes(secret_key, "secret_key")
    lvl = secret_key_level(key, level)
    with _open_source(src) as (fin, total):
        widen_pipe(fin)
        start = _native_start(fin) if _atomic_output(dst) else None
        frames = FrameSource(cast(IO[bytes], _NamedReads(fin, name_of(fin))))
        header = frames.read_header(int(lvl))
        if start is not None:
            with _output(dst) as fout:
                if isinstance(fout, OutputFile) and fout.atomic:
                    return _decrypt_native(fin, start, frames.bytes_in, header, fout, key,
                                           lvl, progress, total)
        text = _armored_file(fin) if start is None and _atomic_output(dst) else None
        if text is not None and frames.bytes_in == len(header):
            with _output(dst) as fout:
                if isinstance(fout, OutputFile) and fout.atomic:
                    return _decrypt_armored_native(text[0], text[1], header, fout, key, lvl,
                                                   progress, total)
        handle = stream_decryptor_from_header(header, key, lvl)
        try:
            with _output(dst) as fout:
                return _decrypt_frames(frames, handle, fout, progress, total)
        finally:
            handle.finalize()


def _decrypt_frames(frames: FrameSource, handle: StreamDecryptorHandle, fout: IO[bytes],
                    progress: Optional[ProgressCallback], total: Optional[int]) -> int:
    """Decrypt the frames that follow the header into ``fout``, in Python."""
    chunk_size = handle.chunk_size()
    done = 0
    widen_pipe(fout)
    with WriteBehind(_batch_writer(fout), threaded=worth_a_thread(fout, chunk_size),
                     depth=channel_depth(chunk_size)) as out:
        if progress is not None:
            progress(frames.bytes_in, total)
        for ciphertext, tag in _read_frames(frames, chunk_size):
            if ciphertext is None:
                handle.process_eof(tag)
                continue
            plain = handle.decrypt_chunk(ciphertext, tag)
            out.put(plain)
            done += len(plain)
            if progress is not None:
                progress(frames.bytes_in, total)
        out.finish()
    if progress is not None:
        progress(frames.bytes_in, total)
    fout.flush()
    return done


def _decrypt_native(fin: IO[bytes], start: int, header_len: int, header: bytes,
                    fout: OutputFile, key: bytes, lvl: SecurityLevel,
                    progress: Optional[ProgressCallback], total: Optional[int]) -> int:
    """Decrypt the frames of the stream that begins at ``start`` in ``fin``
    into ``fout``, in native code, which reads the framing with the same
    core reader as :class:`FrameSource` and raises the same errors.
    Progress counts stream bytes, as the frame-by-frame path does."""
    report = progress
    if progress is not None:
        progress(header_len, total)
        if start:
            report = lambda done, size: progress(done - start, size)  # noqa: E731
    end, done = _tarnel_fileio.decrypt_fd(
        fin.fileno(), start + header_len, fout.fileno(), fout.path, header, key, int(lvl),
        report, total, name_of(fin))
    fin.seek(end)
    if progress is not None:
        progress(end - start, total)
    return int(done)


def _armored_file(fin: IO[bytes]) -> Optional[tuple[IO[bytes], int]]:
    """The file and offset of the armor block ``fin`` decodes, when ``fin``
    is a buffered :class:`~tarnel.armor.ArmorReader` over a regular file
    that native code may read whole; else None."""
    # Without tarnel.armor loaded there is no ArmorReader (and the command
    # line loads it only where it can take a signal).
    armor = sys.modules.get("tarnel.armor")
    reader = fin.raw if type(fin) is io.BufferedReader else None
    if armor is None or not isinstance(reader, armor.ArmorReader):
        return None
    source, origin = reader.source()
    if origin is None or _native_start(source) is None:
        return None
    return source, origin


def _decrypt_armored_native(fin: IO[bytes], origin: int, header: bytes, fout: OutputFile,
                            key: bytes, lvl: SecurityLevel,
                            progress: Optional[ProgressCallback], total: Optional[int]) -> int:
    """Decrypt the stream in the armor block whose text starts at ``origin``
    in ``fin``, its header read already, into ``fout`` in native code, which
    decodes the block as :class:`~tarnel.armor.ArmorReader` does and meets
    the same faults at the same points. Progress counts stream bytes."""
    if progress is not None:
        progress(len(header), total)
    end, done, fault = _tarnel_fileio.decrypt_armored_fd(
        fin.fileno(), origin, fout.fileno(), fout.path, header, key, int(lvl),
        progress, total, name_of(fin))
    if fault is not None:
        from . import armor  # loaded already: fin is its reader

        raise armor.fault_error(fault)
    if progress is not None:
        progress(end, total)
    return int(done)


def _armored_output(fout: IO[bytes]) -> Optional[tuple[Callable[[], None], IO[bytes]]]:
    """When ``fout`` is an :class:`~tarnel.armor.ArmorWriter` that has written
    nothing yet: a function that hands its whole block over (it then writes
    nothing more), and its output."""
    armor = sys.modules.get("tarnel.armor")  # loaded if fout is its writer
    if armor is None or type(fout) is not armor.ArmorWriter:
        return None
    writer = cast(Any, fout)
    return cast(Optional[tuple[Callable[[], None], IO[bytes]]], writer.native_handover())


def _is_fifo(f: IO[bytes]) -> bool:
    try:
        return stat.S_ISFIFO(os.fstat(f.fileno()).st_mode)
    except (OSError, ValueError, io.UnsupportedOperation):
        return False


def _pipe_pair(fin: IO[bytes], fout: IO[bytes]) -> Optional[tuple[int, int]]:
    """The descriptors for native encryption from a pipe: ``fin`` a pipe
    opened as a plain file object (buffered or not), ``fout`` an atomic
    output file or a pipe opened the same way; else None."""
    raw_in = fin.raw if type(fin) is io.BufferedReader else fin
    if type(raw_in) is not io.FileIO or not _is_fifo(fin):
        return None
    if isinstance(fout, OutputFile):
        if not fout.atomic:
            return None
    else:
        raw_out = fout.raw if type(fout) is io.BufferedWriter else fout
        if type(raw_out) is not io.FileIO or not _is_fifo(fout):
            return None
    return fin.fileno(), fout.fileno()


def _take_buffered(fin: IO[bytes]) -> bytes:
    """What a buffered ``fin`` has read ahead of its position (taken out of
    it), so that reading its descriptor goes on from there."""
    if type(fin) is not io.BufferedReader:
        return b""
    ahead = fin.peek(1)  # the whole read-ahead buffer, or one read into it
    return fin.read(len(ahead)) if ahead else b""


def _path_or_name(f: IO[bytes]) -> object:
    return f.path if isinstance(f, OutputFile) else name_of(f)


# Outcomes of the native encryption.
_COMPLETE = 0


def _native_start(fin: IO[bytes]) -> Optional[int]:
    """The offset of ``fin`` when whole-file work may read it natively: a
    regular file opened by ``open()`` (buffered or not), else None."""
    raw = fin.raw if type(fin) is io.BufferedReader else fin
    if type(raw) is not io.FileIO:
        return None
    try:
        if not stat.S_ISREG(os.fstat(fin.fileno()).st_mode) or not fin.seekable():
            return None
        return fin.tell()
    except (OSError, ValueError):
        return None


def _atomic_output(dst: Destination) -> bool:
    """Whether ``dst`` is an atomic :class:`OutputFile`, or a path that gets
    one (not a device, FIFO, socket or descriptor)."""
    if isinstance(dst, OutputFile):
        return dst.atomic
    if not _is_path(dst):
        return False
    path = os.fspath(cast(PathLike, dst))
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return True
    except (OSError, ValueError):
        return False
    return stat.S_ISREG(st.st_mode) and not _names_a_descriptor(path)


def _native_pair(fin: IO[bytes], fout: IO[bytes]) -> Optional[tuple[int, int, OutputFile]]:
    """The input descriptor, its offset and the output for native
    whole-file encryption, when both qualify; else None."""
    if not (isinstance(fout, OutputFile) and fout.atomic):
        return None
    start = _native_start(fin)
    if start is None:
        return None
    return fin.fileno(), start, fout


# ---------------------------------------------------------------------------
# Stages of the whole-file pipeline


def _read_chunks(f: Union[IO[bytes], _NamedReads], size: int) -> Iterator[bytes]:
    """The contents of ``f`` in pieces of exactly ``size`` bytes, the last
    one shorter; never an empty piece."""
    while True:
        chunk = f.read(size)
        if chunk is None:
            raise BlockingIOError("the input is non-blocking and not ready")
        if len(chunk) < size and chunk:
            parts = [chunk]
            got = len(chunk)
            while got < size:
                more = f.read(size - got)
                if more is None:
                    raise BlockingIOError("the input is non-blocking and not ready")
                if not more:
                    break
                parts.append(more)
                got += len(more)
            chunk = b"".join(parts)
        if not chunk:
            return
        yield chunk
        if len(chunk) < size:
            return


def _read_frames(
    frames: FrameSource, chunk_size: int
) -> Iterator[tuple[Optional[bytes], bytes]]:
    """``(ciphertext, tag)`` per frame, then ``(None, tag)`` for the
    end-of-stream marker, then the check that nothing follows it. Framing
    errors are raised in their place."""
    index = 0
    while True:
        length, ciphertext, tag = frames.next_frame_parts(chunk_size, index)
        if length == 0:
            yield None, tag
            frames.check_end()
            return
        yield ciphertext, tag
        index += 1


def _batch_writer(f: IO[bytes]) -> Callable[[list[bytes]], None]:
    """A function that writes a list of buffers to ``f``, checked."""
    if isinstance(f, OutputFile):
        return f.write_many

    name = name_of(f)

    def write(buffers: list[bytes]) -> None:
        try:
            for b in buffers:
                write_all(f, b)
        except OSError as e:
            if e.filename is not None or name is None or e.errno is None:
                raise
            raise OSError(e.errno, e.strerror, name) from None

    return write
