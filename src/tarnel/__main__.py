"""``python -m tarnel`` and the ``tarnel`` command: the command line.

Loading the command line takes a while. A SIGINT, SIGTERM or SIGHUP that
arrives meanwhile ends the command as it would later, with its message and
status (130, 128 + N), not with a traceback or a death by the signal.
One that arrives after the command is over is held back until the
process exits with the command's status.
"""

import signal
import sys
from types import FrameType
from typing import Optional


class _EarlySignal(BaseException):
    """A termination signal arrived while the command line was loading."""


def _on_early_signal(signum: int, frame: Optional[FrameType]) -> None:
    raise _EarlySignal(signum)


def _early(message: str, status: int) -> int:
    try:
        sys.stderr.write(f"tarnel: error: {message}\n")
        sys.stderr.flush()
    except (AttributeError, OSError):
        pass
    return status


def run() -> int:
    """Load the command line and run it; return the exit status."""
    installed = []
    for name in ("SIGTERM", "SIGHUP"):
        signum = getattr(signal, name, None)
        # A signal that is ignored (as under nohup) stays ignored.
        if signum is not None and signal.getsignal(signum) is signal.SIG_DFL:
            signal.signal(signum, _on_early_signal)
            installed.append(signum)
    try:
        from . import cli

        # The command's own handler takes over with no gap between the two.
        for signum in installed:
            signal.signal(signum, cli._on_signal)
    except KeyboardInterrupt:
        return _early("interrupted", 130)
    except _EarlySignal as e:
        signum = int(e.args[0])
        return _early(f"terminated by {signal.Signals(signum).name}", 128 + signum)
    try:
        return cli.main()
    finally:
        # The command is over and its outputs are settled: a termination
        # signal from now until the process exits is held back (and dies
        # with it), never a death without a word or a traceback that would
        # belie the status. The signals stay blocked when run() returns.
        if hasattr(signal, "pthread_sigmask"):
            signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGINT, *installed])
        for signum in installed:
            signal.signal(signum, signal.SIG_DFL)


if __name__ == "__main__":
    raise SystemExit(run())
