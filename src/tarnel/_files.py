"""Output files that never lie: checked writes, atomic and durable commits.

:class:`OutputFile` is the one destination used for every path the package
writes (streams, plaintext, key files):

- a new path or an existing regular file is written to a temporary file in
  the same directory and put in place only by :meth:`OutputFile.commit`
  (flush, fsync, rename, fsync of the directory). On Linux the temporary
  file is unnamed (``O_TMPFILE``), so nothing of it can outlive the process;
  where the system cannot link an unnamed file into the directory it has a
  short hidden name, mode 0600, that :meth:`OutputFile.discard` removes.
- a symbolic link is followed: the link stays, its target gets the data.
- anything else (character device, FIFO, socket, ``/dev/stdout``,
  ``/dev/fd/N``) is written straight through and cannot be rolled back
  (``atomic`` is False).

Every write goes through to completion or raises :class:`OSError` naming
the user's path; the temporary file never appears in a message.
"""

from __future__ import annotations

import errno
import io
import os
import secrets
import signal
import stat
import warnings
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import IO, TYPE_CHECKING, Callable, Optional, Union

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer

PathLike = Union[str, "os.PathLike[str]"]

# Whether unnamed temporary files are tried at all (False: hidden names).
USE_TMPFILE = hasattr(os, "O_TMPFILE")
# Per device: whether an unnamed file can be linked into a directory there.
# Only a definite answer is kept; a probe that failed otherwise is repeated.
_TMPFILE_WORKS: dict[int, bool] = {}
# Errors of a link from an unnamed file that mean "not this way, here" (no
# /proc, no privilege for AT_EMPTY_PATH, a file system without hard links),
# as opposed to a fault of the disk or the directory.
_LINK_UNSUPPORTED = frozenset(
    {errno.ENOENT, errno.EXDEV, errno.EPERM, errno.EACCES, errno.EOPNOTSUPP,
     errno.ENOTSUP, errno.ENOSYS, errno.EINVAL, errno.ELOOP}
)
# Errors of link() on a file system that has no hard links.
_NO_HARD_LINKS = frozenset({errno.EPERM, errno.EOPNOTSUPP, errno.ENOTSUP, errno.ENOSYS, errno.EMLINK})
_AT_EMPTY_PATH = 0x1000
_CLOEXEC = getattr(os, "O_CLOEXEC", 0)
_NOCTTY = getattr(os, "O_NOCTTY", 0)
_DIRECTORY = getattr(os, "O_DIRECTORY", 0)
try:
    _IOV_MAX = max(16, min(1024, os.sysconf("SC_IOV_MAX")))
except (AttributeError, OSError, ValueError):
    _IOV_MAX = 16
# The termination signals that are held back while an output is put in place.
_HELD_SIGNALS = frozenset(
    getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name)
)


class OutputNotDurableError(OSError):
    """The output is complete and in place, but a step after putting it
    there (the directory's fsync, closing a descriptor) failed, so whether
    it survives a crash is unknown. ``filename`` is the output's path.

    Raised by :meth:`OutputFile.commit` after the commit has happened: the
    caller must not describe the output as unwritten, nor roll it back.
    """

    committed = True


class LeftBehindWarning(RuntimeWarning):
    """A hidden temporary file of an output could not be removed (a second
    failure of the disk, after the first one that stopped the work or
    during the clean-up after the commit): it still holds the output's
    data, under the name in ``path``, until someone removes it.

    Issued by :meth:`OutputFile.close`; every function that writes a file
    atomically closes its output that way.
    """

    def __init__(self, output: str, path: str) -> None:
        super().__init__(
            f"a temporary file of {output} could not be removed: it is still at {path}"
        )
        self.output = output
        self.path = path


def _named(e: OSError, path: str) -> OSError:
    """The same error, naming ``path`` instead of whatever it named."""
    return OSError(e.errno, e.strerror or str(e), path)


def close_input(f: IO[bytes]) -> None:
    """Close ``f``, a file opened for reading, without ever raising: it has
    no data to lose, and Linux releases the descriptor even when close()
    reports an error (EIO, or EINTR on some network file systems), so such
    a report must not turn finished work, an output already in place, into
    a failure."""
    try:
        f.close()
    except OSError:
        pass


def write_all(f: object, data: "ReadableBuffer") -> None:
    """Write all of ``data`` to the binary file ``f``, or raise OSError.

    Short writes are continued; a write that makes no progress, or a count
    that makes no sense, raises instead of being taken as success.
    """
    write = getattr(f, "write")
    with memoryview(data) as view:
        mv = view.cast("B")
        total = len(mv)
        off = 0
        while off < total:
            n = write(data if off == 0 else mv[off:])
            if n is None:
                raise BlockingIOError(
                    errno.EAGAIN, "the output is non-blocking and not ready"
                )
            if not isinstance(n, int) or isinstance(n, bool) or not 0 < n <= total - off:
                name = getattr(f, "name", None)
                raise OSError(
                    errno.EIO,
                    f"the output took {n!r} of {total - off} bytes",
                    name if isinstance(name, str) else None,
                )
            off += n


@contextmanager
def _signals_held() -> Iterator[None]:
    """Hold back SIGINT, SIGTERM and SIGHUP in the calling thread for the
    block: a handler (or the default action) runs after the block, never
    between two of its system calls. Where signal masks are not available
    the block runs as it is."""
    if not _HELD_SIGNALS or not hasattr(signal, "pthread_sigmask"):
        yield
        return
    # Read the mask first: a handler that runs inside pthread_sigmask (it
    # checks for pending signals) must not leave the signals blocked.
    old = signal.pthread_sigmask(signal.SIG_BLOCK, ())
    try:
        signal.pthread_sigmask(signal.SIG_BLOCK, _HELD_SIGNALS)
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, old)


_linkat: Optional[Callable[[int, bytes, int, bytes, int], int]] = None


def _libc_linkat() -> Optional[Callable[[int, bytes, int, bytes, int], int]]:
    """libc's linkat through ctypes (os.link cannot pass AT_EMPTY_PATH)."""
    global _linkat
    if _linkat is None:
        try:
            import ctypes

            _linkat = ctypes.CDLL(None, use_errno=True).linkat
        except (ImportError, OSError, AttributeError):
            return None
    return _linkat


def _link_fd(fd: int, dir_fd: int, name: str) -> None:
    """Give the unnamed file open on ``fd`` the name ``name`` in the
    directory open on ``dir_fd``.

    Tries linkat() of ``/proc/self/fd/N`` with AT_SYMLINK_FOLLOW (the way
    open(2) gives for O_TMPFILE; it needs /proc), then linkat() of ``fd``
    itself with AT_EMPTY_PATH (which needs CAP_DAC_READ_SEARCH before
    Linux 6.10). Raises the OSError that matters: FileExistsError when the
    name is taken, a fault of the disk or directory (EIO, ENOSPC, ...) as
    it came, and when neither way is open here, the second way's error.
    """
    try:
        os.link(f"/proc/self/fd/{fd}", name, dst_dir_fd=dir_fd, follow_symlinks=True)
        return
    except OSError as e:
        if e.errno not in _LINK_UNSUPPORTED:
            raise OSError(e.errno, e.strerror, name) from None
        first = e
    linkat = _libc_linkat()
    if linkat is None:
        raise OSError(first.errno, first.strerror, name)
    import ctypes

    if linkat(fd, b"", dir_fd, os.fsencode(name), _AT_EMPTY_PATH) != 0:
        err = ctypes.get_errno()
        raise OSError(err, os.strerror(err), name)


def _probe_link(dir_fd: int) -> Optional[bool]:
    """Link a fresh unnamed file into the directory open on ``dir_fd`` and
    remove it again: True when that works, False when the system answers
    that it cannot (see _LINK_UNSUPPORTED), None on any other failure.

    Removing the probe is best effort: a failure to do so (it is an empty
    file with a hidden name) never fails the caller.
    """
    try:
        pfd = os.open(".", os.O_TMPFILE | os.O_WRONLY | _CLOEXEC, 0o600, dir_fd=dir_fd)
    except OSError as e:
        return False if e.errno in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL) else None
    try:
        probe = _short_temp_name("probe")
        with _signals_held():
            try:
                _link_fd(pfd, dir_fd, probe)
            except FileExistsError:
                return None
            except OSError as e:
                return False if e.errno in _LINK_UNSUPPORTED else None
            try:
                os.unlink(probe, dir_fd=dir_fd)
            except OSError:
                pass
        return True
    finally:
        try:
            os.close(pfd)
        except OSError:
            pass


def _tmpfile_works(dir_fd: int, fd: int) -> bool:
    """Whether unnamed files like ``fd`` can be linked into the directory
    open on ``dir_fd``. Asked once per device while the answer is definite;
    a probe that failed for another reason is tried again next time."""
    dev = os.fstat(fd).st_dev
    known = _TMPFILE_WORKS.get(dev)
    if known is None:
        answer = _probe_link(dir_fd)
        if answer is None:
            return False
        _TMPFILE_WORKS[dev] = known = answer
    return known


def _names_a_descriptor(path: str) -> bool:
    """Whether ``path`` reaches its file through /proc (``/dev/stdout``,
    ``/dev/fd/N``): an open descriptor, to be written as it is."""
    p = os.path.abspath(path)
    for _ in range(40):
        if os.path.realpath(os.path.dirname(p)).startswith("/proc/"):
            return True
        if not os.path.islink(p):
            return False
        p = os.path.normpath(os.path.join(os.path.dirname(p), os.readlink(p)))
    return False


def _umask() -> int:
    """The process's umask, read without changing it where /proc allows."""
    try:
        with open("/proc/self/status", "rb") as f:
            for line in f:
                if line.startswith(b"Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    mask = os.umask(0o077)
    os.umask(mask)
    return mask


def _short_temp_name(name: str) -> str:
    """A hidden name beside ``name``, at most 40 characters long."""
    return f".{name[:16]}.{secrets.token_hex(4)}.part"


class OutputFile(io.RawIOBase):
    """A binary output for ``path``: atomic where it can be, else direct.

    ``replace=False`` refuses an existing regular file (FileExistsError),
    both at opening and, atomically, at commit. ``secret=True`` gives the
    file mode 0600; otherwise an existing file keeps its mode and a new one
    follows the umask. ``follow_symlinks=False`` replaces a symbolic link at
    ``path`` instead of writing to its target. Closing without
    :meth:`commit` discards the data.

    The directory is opened with the file (a directory that cannot be
    opened for its fsync is an error here, naming ``path``), and every name
    in it is made relative to that descriptor.
    """

    def __init__(
        self,
        path: PathLike,
        *,
        replace: bool = True,
        secret: bool = False,
        follow_symlinks: bool = True,
    ) -> None:
        super().__init__()
        self.path = os.fspath(path)
        self.atomic = True
        self._replace = replace
        self._fd = -1
        self._dir_fd = -1
        self._tmp: Optional[str] = None  # a hidden name, relative to _dir_fd
        self._mode: Optional[int] = None  # the mode to give the data; None: the umask's
        self._ident: Optional[tuple[int, int]] = None  # (st_dev, st_ino) of the data
        self._committed = False
        # A hidden name of this output's data that could not be removed
        # (a path), for the caller to report; None when nothing is left.
        self.left_behind: Optional[str] = None
        self.name = self.path
        try:
            st: Optional[os.stat_result] = (
                os.stat(self.path) if follow_symlinks else os.lstat(self.path)
            )
        except FileNotFoundError:
            st = None
        except OSError as e:
            raise _named(e, self.path) from None
        if st is not None and stat.S_ISDIR(st.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), self.path)
        real = os.path.realpath(self.path)
        link = st is not None and stat.S_ISLNK(st.st_mode)
        if link:  # not followed: the link itself is replaced
            head, tail = os.path.split(self.path)
            real = os.path.join(os.path.realpath(head or "."), tail)
        elif st is not None and (not stat.S_ISREG(st.st_mode) or _names_a_descriptor(self.path)):
            # Devices, pipes, sockets, and descriptors named through /proc.
            self.atomic = False
            flags = os.O_WRONLY | _NOCTTY | _CLOEXEC
            if stat.S_ISREG(st.st_mode):
                flags |= os.O_TRUNC
            try:
                self._fd = os.open(self.path, flags)
            except OSError as e:
                raise _named(e, self.path) from None
            return
        if st is not None and not replace:
            raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), self.path)
        self._target = real
        self._dir = os.path.dirname(real) or "."
        self._name = os.path.basename(real)
        if secret:
            self._mode = 0o600
        elif st is not None and not link:
            self._mode = stat.S_IMODE(st.st_mode)
        try:
            self._dir_fd = os.open(self._dir, os.O_RDONLY | _DIRECTORY | _CLOEXEC)
        except OSError as e:
            if e.errno not in (errno.EACCES, errno.EPERM):
                raise _named(e, self.path) from None
            # Writable but not readable: the output could never be synced.
            raise OSError(
                e.errno, f"its directory cannot be opened to sync it: {e.strerror}", self.path
            ) from None
        try:
            self._fd = self._open_temp(0o600 if secret else 0o666)
            if self._tmp is None and self._mode is not None:
                os.fchmod(self._fd, self._mode)
            if st is not None and not link and (st.st_uid, st.st_gid) != (os.geteuid(), os.getegid()):
                try:
                    os.fchown(self._fd, st.st_uid, st.st_gid)
                except OSError:
                    pass
            info = os.fstat(self._fd)
            self._ident = (info.st_dev, info.st_ino)
        except OSError as e:
            self._drop()
            raise _named(e, self.path) from None

    def _open_temp(self, mode: int) -> int:
        """An unnamed file in the directory where it can later be linked in,
        else a new file with a hidden name and mode 0600 (given its final
        mode at commit)."""
        if USE_TMPFILE:
            try:
                fd = os.open(".", os.O_TMPFILE | os.O_WRONLY | _CLOEXEC, mode, dir_fd=self._dir_fd)
            except OSError as e:
                if e.errno not in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL):
                    raise
            else:
                try:
                    works = _tmpfile_works(self._dir_fd, fd)
                except BaseException:
                    os.close(fd)
                    raise
                if works:
                    return fd
                os.close(fd)
        for _ in range(100):
            tmp = _short_temp_name(self._name)
            try:
                fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | _CLOEXEC, 0o600,
                             dir_fd=self._dir_fd)
            except FileExistsError:
                continue
            self._tmp = tmp
            return fd
        raise FileExistsError(errno.EEXIST, "no free temporary name", self._dir)

    # -- file protocol ---------------------------------------------------

    def writable(self) -> bool:
        return True

    def fileno(self) -> int:
        if self._fd < 0:
            raise ValueError("I/O operation on a closed output file")
        return self._fd

    def write(self, data: "ReadableBuffer") -> int:
        """Write all of ``data`` (short writes are continued) or raise."""
        with memoryview(data) as view:
            size = view.nbytes
            self.write_many((view,))
        return size

    def write_many(self, buffers: "Sequence[ReadableBuffer]") -> None:
        """Write every buffer of ``buffers`` in order, with as few system
        calls as it takes (short writes are continued), or raise."""
        fd = self.fileno()
        views = [memoryview(b).cast("B") for b in buffers]
        try:
            first = 0
            while True:
                while first < len(views) and not len(views[first]):
                    first += 1
                if first == len(views):
                    return
                try:
                    n = os.writev(fd, views[first:first + _IOV_MAX])
                except InterruptedError:
                    continue
                except OSError as e:
                    raise _named(e, self.path) from None
                if n <= 0:
                    raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC), self.path)
                while n > 0:
                    head = len(views[first])
                    if n < head:
                        views[first] = views[first][n:]
                        break
                    n -= head
                    first += 1
        finally:
            for v in views:
                v.release()

    # -- settling --------------------------------------------------------

    @property
    def committed(self) -> bool:
        """Whether :meth:`commit` put the data in place."""
        return self._committed

    def in_place(self) -> bool:
        """Whether ``path`` holds this output's data now: True from the
        moment the commit put it there, even when the commit was then
        interrupted, until something else takes the name."""
        if not self.atomic or self._ident is None:
            return self._committed
        try:
            st = os.stat(self._target)
        except OSError:
            return False
        return (st.st_dev, st.st_ino) == self._ident

    def commit(self) -> None:
        """Make the data durable and put it in place.

        Before the data is in place, a failure raises OSError naming
        ``path``: nothing new has a name, an existing file is untouched,
        and :meth:`close` drops the data. Putting it in place is one step
        (a link or a rename) during which SIGINT, SIGTERM and SIGHUP are
        held back in this thread, so a handler runs before it (nothing in
        place) or after it (the output whole at ``path``; see
        :meth:`in_place`), and no hidden name outlives it. Once the data is
        in place, a failure of what follows (the directory's fsync,
        closing a descriptor) raises :class:`OutputNotDurableError`: the
        output is whole, but a crash may still lose it.
        """
        if self._committed:
            return
        fd = self.fileno()
        if not self.atomic:
            try:
                os.fsync(fd)
            except OSError as e:
                if e.errno not in (errno.EINVAL, errno.ENOTSUP, errno.EROFS):
                    raise _named(e, self.path) from None
            self._committed = True
            problem = self._release()
            if problem is not None:
                raise _named(problem, self.path)
            return
        try:
            if self._tmp is not None:
                os.fchmod(fd, self._mode if self._mode is not None else 0o666 & ~_umask())
            os.fsync(fd)
            with _signals_held():
                self._put_in_place(fd)
        except OSError as e:
            # Nothing was put in place: no handler ran inside the held block.
            raise _named(e, self.path) from None
        except BaseException:
            # A signal's exception, raised as the signals were let through,
            # or from another thread: the output may be in place already.
            if self._committed or self.in_place():
                self._committed = True
                self._settle()
            raise
        problem = self._settle()
        if problem is not None:
            raise OutputNotDurableError(problem.errno, problem.strerror, self.path)

    def _put_in_place(self, fd: int) -> None:
        """Give the data the output's name in one step; sets _committed."""
        d = self._dir_fd
        if self._tmp is None:
            if not self._replace:
                _link_fd(fd, d, self._name)
                self._committed = True
                return
            # No system call replaces a file by an unnamed one: link it under
            # a hidden name, then rename that over the output.
            for _ in range(100):
                tmp = _short_temp_name(self._name)
                try:
                    _link_fd(fd, d, tmp)
                    os.replace(tmp, self._name, src_dir_fd=d, dst_dir_fd=d)
                except BaseException as e:
                    self._unlink_if_ours(tmp)
                    if isinstance(e, FileExistsError):
                        continue
                    raise
                self._committed = True
                return
            raise FileExistsError(errno.EEXIST, "no free temporary name", self._dir)
        if self._replace:
            os.replace(self._tmp, self._name, src_dir_fd=d, dst_dir_fd=d)
            self._tmp = None
        else:
            try:
                os.link(self._tmp, self._name, src_dir_fd=d, dst_dir_fd=d, follow_symlinks=False)
            except OSError as e:
                if e.errno not in _NO_HARD_LINKS:
                    raise
                # No hard links here: a rename that checks first.
                try:
                    os.stat(self._name, dir_fd=d, follow_symlinks=False)
                except FileNotFoundError:
                    pass
                else:
                    raise FileExistsError(
                        errno.EEXIST, os.strerror(errno.EEXIST), self._target
                    ) from None
                os.rename(self._tmp, self._name, src_dir_fd=d, dst_dir_fd=d)
                self._tmp = None
            # else the hidden name goes in _settle().
        self._committed = True

    def _unlink_if_ours(self, name: str) -> None:
        """Remove ``name`` from the directory if it is this output's data
        (best effort: a name that may be left is kept in left_behind)."""
        try:
            st = os.stat(name, dir_fd=self._dir_fd, follow_symlinks=False)
            if (st.st_dev, st.st_ino) == self._ident:
                os.unlink(name, dir_fd=self._dir_fd)
        except FileNotFoundError:
            pass
        except OSError:
            self.left_behind = os.path.join(self._dir, name)

    def _settle(self) -> Optional[OSError]:
        """After the commit: sync the directory, remove what is left and
        close; returns the first failure instead of raising it."""
        problem: Optional[OSError] = None
        try:
            os.fsync(self._dir_fd)
        except OSError as e:
            if e.errno not in (errno.EINVAL, errno.ENOTSUP):
                problem = e
        released = self._release()
        return problem or released

    def discard(self) -> None:
        """Drop the data: nothing is left of an atomic output."""
        self._drop()

    def _release(self) -> Optional[OSError]:
        """Remove the hidden name if there is one and close both
        descriptors; returns the first failure instead of raising it. A
        descriptor is never closed twice: close() that fails has closed it
        all the same on Linux."""
        problem: Optional[OSError] = None
        if self._tmp is not None:
            try:
                os.unlink(self._tmp, dir_fd=self._dir_fd)
            except FileNotFoundError:
                pass
            except OSError as e:
                problem = e
                self.left_behind = os.path.join(self._dir, self._tmp)
            self._tmp = None
        for attr in ("_fd", "_dir_fd"):
            fd = getattr(self, attr)
            if fd >= 0:
                setattr(self, attr, -1)
                try:
                    os.close(fd)
                except OSError as e:
                    problem = problem or e
        return problem

    def _drop(self) -> None:
        # Closing after a discard or a reported commit has nothing to add.
        self._release()

    def close(self) -> None:
        """Release the output; a hidden name that could not be removed is
        reported with a :class:`LeftBehindWarning`."""
        self._drop()
        super().close()
        left, self.left_behind = self.left_behind, None
        if left is not None:
            warnings.warn(LeftBehindWarning(self.path, left), stacklevel=2)

    def __del__(self) -> None:
        try:
            self._drop()
        except Exception:
            pass
