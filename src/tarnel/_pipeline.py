"""Reading, the cipher and writing side by side, for whole-file work.

A file is processed in three stages: a reader thread, the calling thread
(AES-GCM, which runs with the interpreter lock released) and a writer thread,
joined by bounded channels of a few chunks. Order is kept (one reader, one
writer, first in first out) and memory stays bounded by the channels'
capacity.

A stage runs on a thread of its own only when its file is a regular file,
whose reads and writes always return: a pipe, terminal, socket or device can
block without end, so such a file is read or written on the calling thread,
where a signal still interrupts it. Every thread is joined before the
:class:`Pipeline` block is left, on every path; a failure in any stage stops
the others, and the call raises the error that came first in stream order.
"""

from __future__ import annotations

import io
import os
import stat
import threading
from collections import deque
from collections.abc import Callable, Iterator
from types import TracebackType
from typing import Generic, Optional, TypeVar

T = TypeVar("T")

# Bytes waiting in one channel: about this much, and at least two chunks.
CHANNEL_BYTES = 192 * 1024
MIN_DEPTH = 2
MAX_DEPTH = 16


def channel_depth(chunk_size: int) -> int:
    """How many chunks of ``chunk_size`` bytes one channel holds."""
    return max(MIN_DEPTH, min(MAX_DEPTH, CHANNEL_BYTES // max(chunk_size, 1)))


def is_regular_file(f: object) -> bool:
    """Whether ``f`` is a file object over a regular file."""
    try:
        fd = f.fileno()  # type: ignore[attr-defined]
        return stat.S_ISREG(os.fstat(fd).st_mode)
    except (AttributeError, OSError, ValueError, io.UnsupportedOperation, TypeError):
        return False


class Cancelled(Exception):
    """The pipeline was stopped; raised inside its stages only."""


class _Failure:
    """A producer's error, travelling in order behind the items before it."""

    __slots__ = ("error",)

    def __init__(self, error: BaseException) -> None:
        self.error = error


class Channel(Generic[T]):
    """A bounded first-in first-out channel between two threads.

    :meth:`put` waits while the channel is full, :meth:`get_batch` while it
    is empty; :meth:`cancel` wakes both for good, and they raise
    :class:`Cancelled` from then on. Waiting on the calling thread can be
    interrupted by a signal.
    """

    def __init__(self, depth: int) -> None:
        self._items: deque[object] = deque()
        self._depth = depth
        self._cond = threading.Condition(threading.Lock())
        self._closed = False
        self._cancelled = False

    def put(self, item: object) -> None:
        with self._cond:
            while len(self._items) >= self._depth and not self._cancelled:
                self._cond.wait()
            if self._cancelled:
                raise Cancelled()
            self._items.append(item)
            self._cond.notify_all()

    def close(self) -> None:
        """No more items: readers see the end once the channel is empty."""
        with self._cond:
            self._closed = True
            self._cond.notify_all()

    def cancel(self) -> None:
        with self._cond:
            self._cancelled = True
            self._items.clear()
            self._cond.notify_all()

    def get_batch(self, most: int) -> list[object]:
        """Up to ``most`` items (at least one); an empty list at the end."""
        with self._cond:
            while not self._items and not self._closed and not self._cancelled:
                self._cond.wait()
            if self._cancelled:
                raise Cancelled()
            batch = []
            while self._items and len(batch) < most:
                batch.append(self._items.popleft())
            self._cond.notify_all()
            return batch


class _Worker:
    """A stage's thread, which keeps the error it stopped on."""

    def __init__(self, name: str, body: Callable[[], None],
                 on_error: Callable[[], None]) -> None:
        self.error: Optional[BaseException] = None
        self._body = body
        self._on_error = on_error
        self.thread = threading.Thread(target=self._run, name=name, daemon=True)

    def _run(self) -> None:
        try:
            self._body()
        except Cancelled:
            pass
        except BaseException as e:  # handed to the calling thread
            self.error = e
            self._on_error()


class Pipeline:
    """Reader, caller and writer stages, used as a ``with`` block.

    :meth:`source` yields the items of a producer, read ahead on a thread
    when ``threaded``; :meth:`sink` returns a function that passes items to
    a writer, on a thread when ``threaded``; :meth:`finish` waits until the
    writer has written everything and raises its error. Leaving the block by
    an exception stops and joins every thread first.
    """

    def __init__(self, depth: int) -> None:
        self._depth = depth
        self._channels: list[Channel[object]] = []
        self._workers: list[_Worker] = []
        self._generators: list[Iterator[object]] = []
        self._writer: Optional[_Worker] = None
        self._out: Optional[Channel[object]] = None

    # -- stages ------------------------------------------------------------

    def source(self, items: Iterator[T], *, threaded: bool) -> Iterator[T]:
        """Iterate ``items``, produced ahead on a thread when ``threaded``.

        An error raised by the producer is raised here after the items that
        came before it.
        """
        self._generators.append(items)
        if not threaded:
            return items
        chan: Channel[object] = Channel(self._depth)
        self._channels.append(chan)

        def produce() -> None:
            try:
                for item in items:
                    chan.put(item)
            except Cancelled:
                raise
            except BaseException as e:
                chan.put(_Failure(e))
            finally:
                close = getattr(items, "close", None)
                if close is not None:
                    close()
            chan.close()

        self._start(_Worker("tarnel-reader", produce, self._stop))
        return self._drain(chan)

    def _drain(self, chan: Channel[object]) -> Iterator[T]:
        while True:
            try:
                batch = chan.get_batch(self._depth)
            except Cancelled:
                self._raise_worker_error()
                raise
            if not batch:
                return
            for item in batch:
                if isinstance(item, _Failure):
                    raise item.error
                yield item  # type: ignore[misc]

    def sink(self, write: Callable[[list[T]], None], *, threaded: bool) -> Callable[[T], None]:
        """Return ``put(item)``: items reach ``write`` in order, in batches.

        Unthreaded, ``put`` writes at once.
        """
        if not threaded:
            return lambda item: write([item])
        chan: Channel[object] = Channel(self._depth)
        self._channels.append(chan)
        self._out = chan

        def consume() -> None:
            while batch := chan.get_batch(self._depth):
                write(batch)  # type: ignore[arg-type]

        self._writer = _Worker("tarnel-writer", consume, self._stop)
        self._start(self._writer)

        def put(item: T) -> None:
            try:
                chan.put(item)
            except Cancelled:
                self._raise_worker_error()
                raise

        return put

    def finish(self) -> None:
        """Wait for the writer to write all it was given; raise its error."""
        if self._out is not None:
            self._out.close()
        self._join()
        self._raise_worker_error()

    # -- plumbing ----------------------------------------------------------

    def _start(self, worker: _Worker) -> None:
        self._workers.append(worker)
        worker.thread.start()

    def _stop(self) -> None:
        for chan in self._channels:
            chan.cancel()

    def _raise_worker_error(self) -> None:
        # The writer's error first: it concerns an item the caller had
        # finished with, so it came first in stream order.
        if self._writer is not None and self._writer.error is not None:
            raise self._writer.error
        for w in self._workers:
            if w.error is not None:
                raise w.error

    def _join(self) -> None:
        """Join every thread, even through an interrupt (raised afterwards)."""
        interrupt: Optional[BaseException] = None
        for w in self._workers:
            while True:
                try:
                    w.thread.join()
                    break
                except BaseException as e:  # a signal handler raised here
                    if interrupt is None:
                        interrupt = e
        if interrupt is not None:
            raise interrupt

    def __enter__(self) -> Pipeline:
        return self

    def __exit__(self, exc_type: Optional[type[BaseException]],
                 exc: Optional[BaseException], tb: Optional[TracebackType]) -> None:
        if exc is not None:
            self._stop()
        try:
            self._join()
        finally:
            for g in self._generators:  # all threads are joined by now
                close = getattr(g, "close", None)
                if close is not None:
                    close()
        if isinstance(exc, Exception):
            # A stage that failed earlier in stream order wins over the
            # caller's error, and over the Cancelled it caused.
            writer = self._writer
            if writer is not None and writer.error is not None and writer.error is not exc:
                raise writer.error
