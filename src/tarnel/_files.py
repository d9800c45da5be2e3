"""Output files that never lie: checked writes, atomic and durable commits.

:class:`OutputFile` is the one destination used for every path the package
writes (streams, plaintext, key files):

- a new path or an existing regular file is written to a temporary file in
  the same directory and put in place only by :meth:`OutputFile.commit`
  (flush, fsync, rename, fsync of the directory). On Linux the temporary
  file is unnamed (``O_TMPFILE``), so nothing of it can outlive the process;
  elsewhere it has a short hidden name that :meth:`OutputFile.discard`
  removes.
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
import stat
from collections.abc import Sequence
from typing import TYPE_CHECKING, Optional, Union

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer

PathLike = Union[str, "os.PathLike[str]"]

# Whether unnamed temporary files are tried at all (False: hidden names).
USE_TMPFILE = hasattr(os, "O_TMPFILE")
# Per device: whether an unnamed file can be linked into a directory there.
_TMPFILE_WORKS: dict[int, bool] = {}
_AT_EMPTY_PATH = 0x1000
_AT_FDCWD = -100
_CLOEXEC = getattr(os, "O_CLOEXEC", 0)
_NOCTTY = getattr(os, "O_NOCTTY", 0)
try:
    _IOV_MAX = max(16, min(1024, os.sysconf("SC_IOV_MAX")))
except (AttributeError, OSError, ValueError):
    _IOV_MAX = 16


class OutputNotDurableError(OSError):
    """The output is complete and in place, but a step after putting it
    there (the directory's fsync, closing a descriptor) failed, so whether
    it survives a crash is unknown. ``filename`` is the output's path.

    Raised by :meth:`OutputFile.commit` after the commit has happened: the
    caller must not describe the output as unwritten, nor roll it back.
    """

    committed = True


def _named(e: OSError, path: str) -> OSError:
    """The same error, naming ``path`` instead of whatever it named."""
    return OSError(e.errno, e.strerror or str(e), path)


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


def _link_fd(fd: int, dst: str) -> None:
    """Give the unnamed file open on ``fd`` the name ``dst``."""
    try:
        os.link(f"/proc/self/fd/{fd}", dst)
        return
    except FileExistsError:
        raise
    except OSError as e:
        first = e
    # linkat(fd, "", AT_EMPTY_PATH) works where /proc cannot be used for it
    # (it needs CAP_DAC_READ_SEARCH).
    import ctypes

    libc = ctypes.CDLL(None, use_errno=True)
    if libc.linkat(fd, b"", _AT_FDCWD, os.fsencode(dst), _AT_EMPTY_PATH) != 0:
        err = ctypes.get_errno()
        if err == errno.EEXIST:
            raise FileExistsError(err, os.strerror(err), dst)
        raise first


def _tmpfile_works(directory: str, fd: int) -> bool:
    """Whether unnamed files like ``fd`` can be linked into ``directory``.

    Tried once per device, on a separate empty file.
    """
    dev = os.fstat(fd).st_dev
    known = _TMPFILE_WORKS.get(dev)
    if known is None:
        probe = os.path.join(directory, _short_temp_name("probe"))
        try:
            pfd = os.open(directory, os.O_TMPFILE | os.O_WRONLY | _CLOEXEC, 0o600)
        except OSError:
            return False
        try:
            _link_fd(pfd, probe)
        except OSError:
            known = False
        else:
            _unlink(probe)
            known = True
        finally:
            os.close(pfd)
        _TMPFILE_WORKS[dev] = known
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


def _fsync_dir(directory: str) -> None:
    try:
        fd = os.open(directory, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0) | _CLOEXEC)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError as e:
        if e.errno not in (errno.EINVAL, errno.ENOTSUP, errno.EBADF):
            raise
    finally:
        os.close(fd)


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
        self._tmp: Optional[str] = None
        self._committed = False
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
        mode = 0o600 if secret else 0o666
        try:
            self._fd = self._open_temp(mode)
            if secret:
                os.fchmod(self._fd, 0o600)
            elif st is not None and not link:
                os.fchmod(self._fd, stat.S_IMODE(st.st_mode))
                if (st.st_uid, st.st_gid) != (os.geteuid(), os.getegid()):
                    try:
                        os.fchown(self._fd, st.st_uid, st.st_gid)
                    except OSError:
                        pass
        except OSError as e:
            self._drop()
            raise _named(e, self.path) from None

    def _open_temp(self, mode: int) -> int:
        if USE_TMPFILE:
            try:
                fd = os.open(self._dir, os.O_TMPFILE | os.O_WRONLY | _CLOEXEC, mode)
            except OSError as e:
                if e.errno not in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL):
                    raise
            else:
                if _tmpfile_works(self._dir, fd):
                    return fd
                os.close(fd)
        base = os.path.basename(self._target)
        for _ in range(100):
            tmp = os.path.join(self._dir, _short_temp_name(base))
            try:
                fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | _CLOEXEC, mode)
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

    def commit(self) -> None:
        """Make the data durable and put it in place."""
        if self._committed:
            return
        fd = self.fileno()
        try:
            if not self.atomic:
                try:
                    os.fsync(fd)
                except OSError as e:
                    if e.errno not in (errno.EINVAL, errno.ENOTSUP, errno.EROFS):
                        raise
                self._committed = True
                return
            os.fsync(fd)
            self._link_into_place(fd)
            self._committed = True
            _fsync_dir(self._dir)
        except OSError as e:
            raise _named(e, self.path) from None
        finally:
            if self._committed:
                self._drop()

    def _link_into_place(self, fd: int) -> None:
        if self._tmp is None:
            if not self._replace:
                _link_fd(fd, self._target)
                return
            for _ in range(100):
                tmp = os.path.join(self._dir, _short_temp_name(os.path.basename(self._target)))
                try:
                    _link_fd(fd, tmp)
                except FileExistsError:
                    continue
                break
            else:
                raise FileExistsError(errno.EEXIST, "no free temporary name", self._dir)
            try:
                os.replace(tmp, self._target)
            except BaseException:
                _unlink(tmp)
                raise
            return
        if self._replace:
            os.replace(self._tmp, self._target)
        else:
            try:
                os.link(self._tmp, self._target)
            except FileExistsError:
                raise
            except OSError:
                # No hard links here: a rename that checks first.
                if os.path.lexists(self._target):
                    raise FileExistsError(
                        errno.EEXIST, os.strerror(errno.EEXIST), self._target
                    ) from None
                os.rename(self._tmp, self._target)
            else:
                _unlink(self._tmp)
        self._tmp = None

    def discard(self) -> None:
        """Drop the data: nothing is left of an atomic output."""
        self._drop()

    def _drop(self) -> None:
        fd, self._fd = self._fd, -1
        tmp, self._tmp = self._tmp, None
        try:
            if fd >= 0:
                os.close(fd)
        finally:
            if tmp is not None:
                _unlink(tmp)

    def close(self) -> None:
        self._drop()
        super().close()

    def __del__(self) -> None:
        try:
            self._drop()
        except Exception:
            pass


def _unlink(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
