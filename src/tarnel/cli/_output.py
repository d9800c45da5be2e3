"""Output files of the command line: each appears whole or not at all, an
existing one is replaced only with ``--force``, and a key pair is written
as a unit.
"""

from __future__ import annotations

import argparse
import os
import shutil
import signal
import stat
import sys
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import IO, Optional, cast

from .._files import OutputFile, OutputNotDurableError
from ._terminal import CliError, _is_stdio, _warn


# The output files of the running command (main() reports those in place
# when a signal ends it), and those committed but not made durable.
_OUTPUTS: list[OutputFile] = []
_NOT_DURABLE: list[str] = []
NOT_DURABLE_STATUS = 3


def _open_output(path: str, force: bool, secret: bool = False) -> OutputFile:
    """The output file at ``path``; an existing file only with ``force``."""
    try:
        out = OutputFile(path, replace=force, secret=secret)
    except FileExistsError:
        raise CliError(f"{path} exists (use --force to replace it)") from None
    except OSError as e:
        raise CliError(f"cannot write {path}: {e.strerror or e}") from None
    _OUTPUTS.append(out)
    return out


def _close_output(out: OutputFile) -> None:
    """Close ``out``; a hidden name of its data that could not be removed (a
    second fault of the disk) is named by the LeftBehindWarning that main
    prints as a warning of its own."""
    out.close()


def _commit(out: OutputFile) -> None:
    """Put ``out`` in place. When it is in place but could not be made
    durable, say so and go on: the command then ends with status 3."""
    try:
        out.commit()
    except FileExistsError:
        raise CliError(f"{out.path} exists (use --force to replace it)") from None
    except OutputNotDurableError as e:
        _warn(
            f"{out.path} is complete and in place, but could not be made durable: "
            f"{e.strerror or e} (a crash may still lose it)"
        )
        _NOT_DURABLE.append(out.path)


def _stopped(what: str) -> str:
    """The message for a command stopped by a signal, naming the outputs it
    had already put in place."""
    placed = [out.path for out in _OUTPUTS if out.atomic and out.in_place()]
    if not placed:
        return what
    verb = "is" if len(placed) == 1 else "are"
    return f"{what}; {' and '.join(placed)} {verb} already complete and in place"


def _is_regular(path: str) -> bool:
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False


def _write_pair(*files: tuple[str, bytes, bool], force: bool) -> None:
    """Write ``files`` (path, data, secret) as a unit: afterwards every path
    holds its new data, or every path is as it was before (its old file, or
    no file). A key pair is never left mixed or half written.

    Every file is first written whole to a temporary file. Each existing
    file is then kept reachable under a hidden backup name in its own
    directory (a hard link, so the same file with the same mode; a private
    copy where links are refused), the files are committed in order, and
    the backups are removed. If anything fails, or SIGINT, SIGTERM or SIGHUP
    arrives (they are held back while files move, then delivered), the
    files already committed are taken back: a backup is renamed over the
    new file, a file that did not exist is removed.

    A commit that put its file in place but could not make it durable
    (:class:`OutputNotDurableError`) does not undo the unit: the remaining
    files are committed and one :class:`OutputNotDurableError` naming the
    first and last file is raised at the end.

    A process killed by SIGKILL (or a crash) while files move can leave a
    backup, named ``.<name>.<8 hex digits>.old`` beside the file (the name
    cut to 16 characters), and the new first file beside the old second
    one; the old file is then the backup, which can be renamed back by hand.
    A backup that cannot be removed, and a file that cannot be put back (its
    backup, then the only copy of the old file, is kept), are named in a
    warning.
    """
    outs: list[OutputFile] = []
    try:
        for path, data, secret in files:
            out = _open_output(path, force, secret)
            outs.append(out)
            out.write(data)
        with _signals_held() as interrupted:
            try:
                undone = _commit_all(outs, [secret for _, _, secret in files], interrupted)
            finally:
                for out in outs:
                    _close_output(out)
        if undone:  # the held signal's handler did not raise
            raise KeyboardInterrupt
    finally:
        for out in outs:
            _close_output(out)


def _commit_all(
    outs: list[OutputFile], secrets: list[bool], interrupted: Callable[[], bool]
) -> bool:
    """Commit ``outs`` in order, undoing all of them on any failure or held
    signal (see :func:`_write_pair`). Returns True when a held signal undid
    them, False when all are in place."""
    backups: list[Optional[str]] = []
    placed: list[bool] = []
    not_durable: Optional[OSError] = None
    try:
        for out, secret in zip(outs, secrets):
            backups.append(_backup(out, secret))
        for out in outs:
            try:
                _commit(out)
            except OSError as e:
                if not _placed(out, e):
                    raise
                not_durable = not_durable or e
            placed.append(True)
        if interrupted():
            raise _Undo
    except BaseException:
        if len(placed) < len(outs) and _placed(outs[len(placed)], None):
            placed.append(True)  # in place, though its commit failed
        _undo(outs, backups, placed)
        if not isinstance(sys.exc_info()[1], _Undo):
            raise
        return True
    for out, backup in zip(outs, backups):
        if backup is not None:
            _remove_backup(backup, out.path)
    if not_durable is not None:
        raise OutputNotDurableError(
            not_durable.errno, not_durable.strerror or str(not_durable),
            outs[0].path, None, outs[-1].path,
        )
    return False


class _Undo(Exception):
    """A held signal is waiting: take the committed files back."""


def _placed(out: OutputFile, e: Optional[BaseException]) -> bool:
    """Whether ``out`` is in place: committed, though maybe not durably."""
    return bool(getattr(e, "committed", False)) or bool(getattr(out, "_committed", False))


def _backup(out: OutputFile, secret: bool) -> Optional[str]:
    """Keep the file that ``out`` replaces reachable under a hidden name
    beside it; None when there is none (or it is written through)."""
    if not out.atomic:
        return None
    target = os.path.realpath(out.path)
    try:
        st = os.stat(target)
    except FileNotFoundError:
        return None
    if not stat.S_ISREG(st.st_mode):
        return None
    head, tail = os.path.split(target)
    for _ in range(100):
        backup = os.path.join(head, f".{tail[:16]}.{os.urandom(4).hex()}.old")
        try:
            os.link(target, backup)
            return backup
        except FileExistsError:
            continue
        except OSError:
            break  # no hard links here: a private copy
    else:
        raise FileExistsError(f"no free backup name for {out.path}")
    return _backup_copy(target, backup, 0o600 if secret else stat.S_IMODE(st.st_mode))


def _backup_copy(target: str, backup: str, mode: int) -> str:
    """A private copy of ``target`` at ``backup``, given ``mode`` when done."""
    fd = os.open(backup, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o600)
    try:
        with os.fdopen(fd, "wb") as dst, open(target, "rb") as src:
            shutil.copyfileobj(src, dst)
            dst.flush()
            os.fchmod(dst.fileno(), mode)
            os.fsync(dst.fileno())
    except BaseException:
        _remove_quietly(backup)
        raise
    return backup


def _undo(outs: list[OutputFile], backups: list[Optional[str]], placed: list[bool]) -> None:
    """Put every path of ``outs`` back as it was; remove every backup."""
    for i, out in enumerate(outs):
        backup = backups[i] if i < len(backups) else None
        if i < len(placed) and out.atomic:
            target = os.path.realpath(out.path)
            try:
                if backup is not None:
                    os.replace(backup, target)
                    backup = None
                else:
                    os.unlink(target)
            except OSError as e:
                if backup is not None:
                    # The backup is now the only copy of the old file: kept.
                    _warn(f"{out.path} could not be put back as it was: {e.strerror or e}; "
                          f"the file it replaced is kept at {backup}")
                    backup = None
                else:
                    _warn(f"{out.path} could not be removed again: {e.strerror or e}")
        if backup is not None:
            _remove_backup(backup, out.path)
    directories = {os.path.dirname(os.path.realpath(o.path)) or "." for o in outs[: len(placed)]}
    for directory in directories:
        try:
            fd = os.open(directory, os.O_RDONLY)
        except OSError:
            continue
        try:
            os.fsync(fd)
        except OSError:
            pass
        finally:
            os.close(fd)


def _remove_backup(backup: str, path: str) -> None:
    """Remove ``backup``, a name of the file ``path`` held before; when it
    cannot be removed, say where it is (for a secret key, the old key is
    still on disk there)."""
    for _ in range(3):
        try:
            os.unlink(backup)
            return
        except FileNotFoundError:
            return
        except InterruptedError:
            continue
        except OSError as e:
            _warn(f"the file {path} held before could not be removed: {e.strerror or e}; "
                  f"it is still at {backup}")
            return
    _warn(f"the file {path} held before could not be removed; it is still at {backup}")


def _remove_quietly(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


_HELD_SIGNALS = frozenset(
    getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name)
)


@contextmanager
def _signals_held() -> Iterator[Callable[[], bool]]:
    """Hold SIGINT, SIGTERM and SIGHUP back while the block runs; yield a
    function that tells whether one is waiting. Leaving the block delivers
    it as usual. Where signals cannot be held, nothing is."""
    if not hasattr(signal, "pthread_sigmask"):
        yield lambda: False
        return
    old = signal.pthread_sigmask(signal.SIG_BLOCK, _HELD_SIGNALS)
    try:
        yield lambda: bool(signal.sigpending() & _HELD_SIGNALS)
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, old)


@contextmanager
def _destination(args: argparse.Namespace) -> Iterator[IO[bytes]]:
    """stdout, or the output file committed when the block succeeds."""
    if _is_stdio(args.output):
        yield sys.stdout.buffer
        return
    out = _open_output(args.output, args.force)
    try:
        yield cast(IO[bytes], out)
        _commit(out)
    finally:
        _close_output(out)
