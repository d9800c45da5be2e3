"""Writing behind the cipher, for whole-file work.

A file is encrypted or decrypted in two stages: the calling thread reads
and runs AES-GCM (which releases the interpreter lock), a writer thread
writes what it produced. A bounded channel of a few chunks joins them, so
memory stays bounded, and the one writer keeps the order. The writer takes
the chunks in batches and writes each batch with one system call, so the two
threads change hands once per batch rather than once per chunk.

The writer gets a thread of its own only for a regular file, whose writes
always return: a pipe, terminal, socket or device can block without end, so
it is written on the calling thread, where a signal still interrupts it.
Small chunks are written on the calling thread too (see
:data:`THREAD_MIN_CHUNK`).
The thread is joined before the :class:`WriteBehind` block is left, on every
path. A failed write stops the caller at its next chunk; when the caller
fails, the writer first writes what it was given (as a writer on the
calling thread would have), unless the caller was interrupted.
"""

from __future__ import annotations

import io
import os
import stat
import threading
from collections import deque
from collections.abc import Callable
from types import TracebackType
from typing import Optional

try:
    import fcntl
except ImportError:  # not on this system: pipes keep their capacity
    fcntl = None  # type: ignore[assignment]

# Chunks in flight between the two threads: about this many bytes, and at
# least two chunks.
IN_FLIGHT_BYTES = 4 * 1024 * 1024
MIN_DEPTH = 2
MAX_DEPTH = 12
# Smaller chunks are written on the calling thread: below this size the
# cost of handing chunks between threads (and the interpreter lock with
# them) exceeds what the overlap gains.
THREAD_MIN_CHUNK = 256 * 1024


def channel_depth(chunk_size: int) -> int:
    """How many chunks of ``chunk_size`` bytes may be in flight."""
    return max(MIN_DEPTH, min(MAX_DEPTH, IN_FLIGHT_BYTES // max(chunk_size, 1)))


def worth_a_thread(f: object, chunk_size: int) -> bool:
    """Whether writing chunks of ``chunk_size`` bytes to ``f`` gets a thread."""
    return chunk_size >= THREAD_MIN_CHUNK and is_regular_file(f)


# A pipe a whole stream goes through is given this capacity, where the
# system allows it: with the default of 64 KiB the processes on either side
# take turns rather than running side by side (measured through 1 GiB: the
# command line's encryption between two pipes went from 0.37x to 0.7x of
# ``cat | cat``).
PIPE_CAPACITY = 1 << 20


def widen_pipe(f: object) -> None:
    """Raise the capacity of the pipe ``f`` is open on to
    :data:`PIPE_CAPACITY`, where the system allows it. Anything else (a
    file, a terminal, an object without a descriptor, a refusal) is left as
    it is: the capacity changes only how often each side waits."""
    get = getattr(fcntl, "F_GETPIPE_SZ", None) if fcntl is not None else None
    set_ = getattr(fcntl, "F_SETPIPE_SZ", None) if fcntl is not None else None
    if fcntl is None or get is None or set_ is None:
        return
    try:
        fd = f.fileno()  # type: ignore[attr-defined]
        if not stat.S_ISFIFO(os.fstat(fd).st_mode) or fcntl.fcntl(fd, get) >= PIPE_CAPACITY:
            return
        fcntl.fcntl(fd, set_, PIPE_CAPACITY)
    except (AttributeError, OSError, ValueError, io.UnsupportedOperation, TypeError):
        pass


def is_regular_file(f: object) -> bool:
    """Whether ``f`` is a file object over a regular file."""
    try:
        fd = f.fileno()  # type: ignore[attr-defined]
        return stat.S_ISREG(os.fstat(fd).st_mode)
    except (AttributeError, OSError, ValueError, io.UnsupportedOperation, TypeError):
        return False


class Cancelled(Exception):
    """The channel was cancelled; raised inside this module only."""


class Channel:
    """A bounded first-in first-out channel from one thread to another.

    Items count against the depth from :meth:`put` until the consumer
    reports them written with :meth:`done`. :meth:`put` waits while the
    channel is full; :meth:`take` waits until half of it is filled (or the
    channel is closed) and returns everything waiting. :meth:`cancel` wakes
    both for good and makes them raise :class:`Cancelled`. Waiting on the
    calling thread can be interrupted by a signal.
    """

    def __init__(self, depth: int) -> None:
        self._items: deque[bytes] = deque()
        self._depth = depth
        self._wake_at = max(1, depth // 2)
        self._in_flight = 0
        self._cond = threading.Condition(threading.Lock())
        self._closed = False
        self._cancelled = False

    def put(self, item: bytes) -> None:
        with self._cond:
            while self._in_flight >= self._depth and not self._cancelled:
                self._cond.wait()
            if self._cancelled:
                raise Cancelled()
            self._items.append(item)
            self._in_flight += 1
            if len(self._items) >= self._wake_at:
                self._cond.notify_all()

    def take(self) -> list[bytes]:
        """The items waiting, at least one; an empty list once closed and
        drained."""
        with self._cond:
            while (len(self._items) < self._wake_at and not self._closed
                   and not self._cancelled):
                self._cond.wait()
            if self._cancelled:
                raise Cancelled()
            batch = list(self._items)
            self._items.clear()
            return batch

    def done(self, count: int) -> None:
        """``count`` taken items are written: room for as many new ones."""
        with self._cond:
            self._in_flight -= count
            if self._in_flight <= self._depth - self._wake_at:
                self._cond.notify_all()

    def close(self) -> None:
        with self._cond:
            self._closed = True
            self._cond.notify_all()

    def cancel(self) -> None:
        with self._cond:
            self._cancelled = True
            self._items.clear()
            self._cond.notify_all()


class WriteBehind:
    """Write buffers through ``write`` (a function of a list of buffers),
    on a thread of its own when ``threaded``; use as a ``with`` block.

    :meth:`put` hands over one buffer, :meth:`finish` waits until all are
    written and raises the writer's error. Leaving the block by an exception
    joins the writer's thread first; a write error is raised in place of the
    caller's later one, as it concerned earlier data.
    """

    def __init__(self, write: Callable[[list[bytes]], None], *, threaded: bool,
                 depth: int) -> None:
        self._write = write
        self._error: Optional[BaseException] = None
        self._chan: Optional[Channel] = None
        self._thread: Optional[threading.Thread] = None
        if threaded:
            self._chan = Channel(depth)
            self._thread = threading.Thread(target=self._run, name="tarnel-writer",
                                            daemon=True)
            self._thread.start()

    def _run(self) -> None:
        chan = self._chan
        assert chan is not None
        try:
            while batch := chan.take():
                self._write(batch)
                chan.done(len(batch))
        except Cancelled:
            pass
        except BaseException as e:  # handed to the calling thread
            self._error = e
            chan.cancel()

    def put(self, item: bytes) -> None:
        if self._chan is None:
            self._write([item])
            return
        try:
            self._chan.put(item)
        except Cancelled:
            if self._error is not None:
                raise self._error from None
            raise

    def finish(self) -> None:
        """Wait until every buffer is written; raise the writer's error."""
        if self._chan is not None:
            self._chan.close()
        self._join()
        if self._error is not None:
            raise self._error

    def _join(self) -> None:
        _join(self._thread)

    def __enter__(self) -> WriteBehind:
        return self

    def __exit__(self, exc_type: Optional[type[BaseException]],
                 exc: Optional[BaseException], tb: Optional[TracebackType]) -> None:
        if exc is None:
            self.finish()
            return
        if self._chan is not None:
            if isinstance(exc, Exception):
                # Write what came before the failure, as a writer on this
                # thread would have, so that an earlier write error wins.
                self._chan.close()
            else:
                self._chan.cancel()  # an interrupt: stop at once
        self._join()
        if self._error is not None and self._error is not exc and isinstance(exc, Exception):
            raise self._error


def _join(thread: Optional[threading.Thread]) -> None:
    """Join ``thread``, even through an interrupt (raised afterwards)."""
    if thread is None:
        return
    interrupt: Optional[BaseException] = None
    while True:
        try:
            thread.join()
            break
        except BaseException as e:  # a signal handler raised here
            if interrupt is None:
                interrupt = e
    if interrupt is not None:
        raise interrupt
