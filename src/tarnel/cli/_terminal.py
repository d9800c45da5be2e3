"""What the command says and asks: the error it ends with, warnings and
notes on stderr, passphrase prompts, the progress line, and how signals and
closed standard streams are met.
"""

from __future__ import annotations

import argparse
import getpass
import os
import re
import signal
import sys
import time
from collections.abc import Iterator
from contextlib import contextmanager
from types import FrameType
from typing import IO, NoReturn, Optional, cast

from .. import keyfile, streaming
from .._tarnel_core import DecryptionError, InvalidParameterError, TarnelError


# ---------------------------------------------------------------------------
# Messages


PROG = "tarnel"
PASSWORD_ENV = "TARNEL_PASSWORD"


class CliError(Exception):
    """A failure reported as one message line and an exit status."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


def _is_stdio(path: Optional[str]) -> bool:
    return path is None or path == "-"


# The most of an argument a message quotes; key text is always longer.
_SHOWN_MAX = 255
# An argument made only of Base64 (either alphabet) or hexadecimal digits:
# 11 of them can carry 8 bytes of a key.
_KEY_LIKE = re.compile(r"[A-Za-z0-9+/=]{11,}|[A-Za-z0-9_=-]{11,}")


def _shown_argument(arg: str) -> Optional[str]:
    """``arg`` when a message may quote it, None when it must not.

    Quoted are only file names: at most 255 printable characters, without
    white space, and not made wholly of Base64 or hexadecimal digits. Key
    text (a secret key in any encoding, or a part of one long enough to
    matter) is never quoted.
    """
    if (
        len(arg) > _SHOWN_MAX
        or not arg.isprintable()
        or any(c.isspace() for c in arg)
        or _KEY_LIKE.fullmatch(arg)
    ):
        return None
    return arg


def _shown_path(path: str) -> str:
    """A path for a message: itself, or its length when it may be key text."""
    shown = _shown_argument(path)
    return shown if shown is not None else f"(a name of {len(path)} characters, not shown)"


def _warn(message: str) -> None:
    try:
        sys.stderr.write(f"{PROG}: warning: {message}\n")
        sys.stderr.flush()
    except OSError:
        pass


def _inform(line: str) -> None:
    """Write a line of information to stderr, best effort: it reports work
    that is done, which a failing stderr must not turn into a failure."""
    try:
        print(line, file=sys.stderr, flush=True)
    except OSError:
        pass


class _NoKeyOpens(DecryptionError):
    pass


def _stream_error_message(e: TarnelError) -> str:
    if isinstance(e, _NoKeyOpens):
        return f"decryption failed: {e}"
    if isinstance(e, (streaming.NotAStreamError, streaming.StreamLevelError)):
        return str(e)
    if isinstance(e, streaming.StreamError):
        return f"the stream is damaged: {e}"
    if isinstance(e, DecryptionError):
        return (
            "decryption failed: the stream was modified, or it was not "
            "encrypted to this key"
        )
    return str(e)


# ---------------------------------------------------------------------------
# Passphrases


class _Password:
    """Where a password comes from: a file, a variable, or the terminal."""

    def __init__(self, args: argparse.Namespace, confirm: bool = False, new: bool = False) -> None:
        # The new passphrase of passwd has options of its own, and never
        # comes from TARNEL_PASSWORD (which gives the current one).
        self._file: Optional[str] = args.new_password_file if new else args.password_file
        self._env: Optional[str] = args.new_password_env if new else args.password_env
        self._default_env: Optional[str] = None if new else PASSWORD_ENV
        self._confirm = confirm

    def get(self, prompt: str) -> bytes:
        if self._file is not None:
            try:
                with open(self._file, "rb") as f:
                    line = f.readline()
            except OSError as e:
                raise CliError(
                    f"cannot read password file {self._file}: {e.strerror}"
                ) from None
            return line.rstrip(b"\r\n")
        if self._env is not None:
            value = os.environ.get(self._env)
            if value is None:
                raise CliError(f"environment variable {self._env} is not set", 2)
            return os.fsencode(value)
        value = os.environ.get(self._default_env) if self._default_env else None
        if value is not None:
            return os.fsencode(value)
        return self._prompt(prompt)

    def _prompt(self, prompt: str) -> bytes:
        if not _has_terminal():
            raise CliError(
                "no password given and no terminal to ask for one: use "
                f"--password-file, --password-env or {PASSWORD_ENV}",
                2,
            )
        try:
            first = getpass.getpass(prompt)
            if self._confirm and getpass.getpass("Repeat the password: ") != first:
                raise CliError("the passwords do not match")
        except EOFError:
            # Ctrl-D at the prompt: the user declined to give one.
            _newline_on_terminal()
            raise CliError("no password given (end of input at the prompt)") from None
        return first.encode("utf-8")


def _newline_on_terminal() -> None:
    """End the prompt's line, so the error starts on a line of its own."""
    try:
        with open("/dev/tty", "w") as tty:
            tty.write("\n")
    except OSError:
        pass


def _has_terminal() -> bool:
    try:
        with open("/dev/tty", "rb"):
            return True
    except OSError:
        return sys.stdin.isatty()


def _new_passphrase(
    args: argparse.Namespace, prompt: str
) -> tuple[Optional[str], Optional[bytes]]:
    """(the generated passphrase to show, the passphrase) for a secret key
    about to be written; (None, None) with --unprotected."""
    if args.unprotected:
        return None, None
    if args.generate_passphrase:
        phrase = keyfile.generate_passphrase()
        return phrase, phrase.encode("ascii")
    password = _Password(args, confirm=True, new=args.command == "passwd").get(prompt)
    try:
        warning = keyfile.check_passphrase(password)
    except InvalidParameterError:
        raise CliError("an empty password is refused") from None
    if warning is not None:
        _warn(warning)
    return None, password


# ---------------------------------------------------------------------------
# Progress


PROGRESS_THRESHOLD = 16 * 1024 * 1024


class _Progress:
    """A progress line on stderr, shown for large inputs on a terminal."""

    def __init__(self, label: str, enabled: bool) -> None:
        self.label = label
        self.enabled = enabled
        self.shown = False
        self._last = 0.0

    def __call__(self, done: int, total: Optional[int]) -> None:
        if not self.enabled:
            return
        big = (total or 0) >= PROGRESS_THRESHOLD or done >= PROGRESS_THRESHOLD
        now = time.monotonic()
        final = total is not None and done >= total
        if not big or (now - self._last < 0.1 and not final):
            return
        self._last = now
        mib = done / 1048576
        if total:
            pct = 100 * done // total
            line = f"{self.label}: {mib:.1f} / {total / 1048576:.1f} MiB ({pct}%)"
        else:
            line = f"{self.label}: {mib:.1f} MiB"
        sys.stderr.write("\r" + line + "\x1b[K")
        sys.stderr.flush()
        self.shown = True

    def finish(self) -> None:
        if self.shown:
            sys.stderr.write("\n")
            sys.stderr.flush()
            self.shown = False


def _show_progress(args: argparse.Namespace) -> bool:
    return not args.quiet and sys.stderr.isatty()


def _tell(args: argparse.Namespace, line: str) -> None:
    """With -v, say what was found or done (``tarnel: LINE`` on stderr)."""
    if getattr(args, "verbose", False):
        _inform(f"{PROG}: {line}")


# ---------------------------------------------------------------------------
# Errors, signals and closed standard streams


def _fail(message: str, status: int) -> int:
    try:
        sys.stderr.write(f"{PROG}: error: {message}\n")
        sys.stderr.flush()
    except OSError:
        pass
    return status


class _Terminated(BaseException):
    """A termination signal arrived: unwind so that outputs are discarded."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _on_signal(signum: int, frame: Optional[FrameType]) -> None:
    raise _Terminated(signum)


@contextmanager
def _termination_unwinds() -> Iterator[None]:
    """SIGTERM and SIGHUP unwind the command like SIGINT does (unless they
    are ignored, as under nohup), so no temporary file is left behind."""
    saved = {}
    for name in ("SIGTERM", "SIGHUP"):
        signum = getattr(signal, name, None)
        if signum is None:
            continue
        try:
            if signal.getsignal(signum) is signal.SIG_DFL:
                saved[signum] = signal.signal(signum, _on_signal)
        except ValueError:  # not the main thread
            pass
    try:
        yield
    finally:
        for signum, handler in saved.items():
            signal.signal(signum, handler)


def _quiet_stdout() -> None:
    """Silence the interpreter's final flush of a closed stdout."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, CliError):
        pass


class _ClosedStream:
    """Stands in for a standard stream whose descriptor was closed when the
    command began: it is not a terminal and flushing it does nothing, but
    reading or writing it is the error "standard input is closed"."""

    def __init__(self, what: str) -> None:
        self._what = what

    def isatty(self) -> bool:
        return False

    def flush(self) -> None:
        pass

    def __getattr__(self, name: str) -> NoReturn:
        raise CliError(f"{self._what} is closed")


@contextmanager
def _closed_stdio() -> Iterator[None]:
    """Give closed standard descriptors /dev/null, so that no file opened
    later takes their numbers; stand :class:`_ClosedStream` in for a closed
    stdin or stdout (until the block ends), and send messages meant for a
    closed stderr to /dev/null (for good: the last one comes after the block)."""
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            try:
                spare = os.open(os.devnull, os.O_RDWR)
                if spare != fd:
                    os.dup2(spare, fd)
                    os.close(spare)
            except OSError:
                pass
    saved = (sys.stdin, sys.stdout)
    if sys.stdin is None:
        sys.stdin = cast(IO[str], _ClosedStream("standard input"))
    if sys.stdout is None:
        sys.stdout = cast(IO[str], _ClosedStream("standard output"))
    if sys.stderr is None:
        sys.stderr = open(os.devnull, "w")
    try:
        yield
    finally:
        sys.stdin, sys.stdout = saved
