"""Inputs of the command line: a file or stdin, and a source replayed
after its first bytes were read.
"""

from __future__ import annotations

import io
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import IO, TYPE_CHECKING, Optional

from .._files import close_input
from .._pipeline import widen_pipe
from ._terminal import CliError, _is_stdio, _shown_path

if TYPE_CHECKING:
    from _typeshed import WriteableBuffer


@contextmanager
def _open_input(path: Optional[str]) -> Iterator[IO[bytes]]:
    if _is_stdio(path):
        # A whole stream comes through a pipe: a wider one lets the writer
        # on the other side run beside this process instead of in turns.
        widen_pipe(sys.stdin.buffer)
        yield sys.stdin.buffer
        return
    assert path is not None
    try:
        f = open(path, "rb")
    except OSError as e:
        raise CliError(f"{_shown_path(path)}: {e.strerror or e}") from None
    try:
        yield f
    finally:
        close_input(f)


class _Replay(io.RawIOBase):
    """The bytes already read from a source, then the rest of the source."""

    def __init__(self, head: bytes, rest: IO[bytes]) -> None:
        super().__init__()
        self._head = head
        self._rest = rest

    def readable(self) -> bool:
        return True

    @property
    def name(self) -> object:
        """The name of the source, when it has one."""
        return getattr(self._rest, "name", None)

    def readinto(self, buffer: "WriteableBuffer") -> int:
        with memoryview(buffer) as view:
            mv = view.cast("B")
            if self._head:
                n = min(len(mv), len(self._head))
                mv[:n] = self._head[:n]
                self._head = self._head[n:]
                return n
            data = self._rest.read(len(mv))
            if not data:
                return 0
            mv[: len(data)] = data
            return len(data)
