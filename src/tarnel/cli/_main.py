"""The entry point of the ``tarnel`` command."""

from __future__ import annotations

import signal
import sys
import warnings
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import Optional, TextIO, Union

from .. import streaming
from .._files import LeftBehindWarning, OutputNotDurableError
from .._tarnel_core import TarnelError
from ._output import NOT_DURABLE_STATUS, _NOT_DURABLE, _OUTPUTS, _stopped
from ._parser import build_parser
from ._terminal import (
    CliError,
    _Terminated,
    _closed_stdio,
    _fail,
    _quiet_stdout,
    _stream_error_message,
    _termination_unwinds,
    _warn,
)


@contextmanager
def _left_behind_as_warnings() -> Iterator[None]:
    """Print each LeftBehindWarning (a temporary file a second fault of the
    disk left) as one of the command's own warnings, every time."""
    with warnings.catch_warnings():
        warnings.simplefilter("always", LeftBehindWarning)
        shown = warnings.showwarning

        def show(message: Union[Warning, str], category: type[Warning], filename: str,
                 lineno: int, file: Optional[TextIO] = None, line: Optional[str] = None) -> None:
            if issubclass(category, LeftBehindWarning):
                _warn(str(message))
            else:
                shown(message, category, filename, lineno, file, line)

        warnings.showwarning = show
        yield


# Longer than any option: text after -r/--recipient that starts with "-" and
# is this long is key text (URL-safe Base64 may start with "-"), not an option.
_KEY_TEXT_MIN = 64


def _joined_key_text(argv: Sequence[str]) -> list[str]:
    """``argv`` with ``-r KEY`` written ``--recipient=KEY`` where KEY starts
    with "-", which the parser would otherwise take for an option."""
    out: list[str] = []
    args = list(argv)
    i = 0
    while i < len(args):
        arg = args[i]
        if arg == "--":
            out.extend(args[i:])
            break
        nxt = args[i + 1] if i + 1 < len(args) else ""
        if arg in ("-r", "--recipient") and nxt.startswith("-") and len(nxt) >= _KEY_TEXT_MIN:
            out.append(f"--recipient={nxt}")
            i += 2
            continue
        out.append(arg)
        i += 1
    return out


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line; return the exit status."""
    _OUTPUTS.clear()
    _NOT_DURABLE.clear()
    try:
        with _termination_unwinds(), _closed_stdio(), _left_behind_as_warnings():
            parser = build_parser()
            args = parser.parse_args(_joined_key_text(sys.argv[1:] if argv is None else argv))
            status: int = args.run(args)
            sys.stdout.flush()
            if status == 0 and _NOT_DURABLE:
                status = NOT_DURABLE_STATUS
            return status
    except CliError as e:
        return _fail(str(e), e.status)
    except BrokenPipeError:
        # The reader went away: end quietly, as Unix tools do.
        _quiet_stdout()
        return 128 + int(signal.SIGPIPE)
    except _Terminated as e:
        name = signal.Signals(e.signum).name
        return _fail(_stopped(f"terminated by {name}"), 128 + e.signum)
    except KeyboardInterrupt:
        return _fail(_stopped("interrupted"), 130)
    except streaming.StreamError as e:
        return _fail(_stream_error_message(e), 1)
    except TarnelError as e:
        return _fail(str(e), 1)
    except OutputNotDurableError as e:
        # In place, though not made durable: a warning, never "not written".
        names = [str(n) for n in (e.filename, e.filename2) if n]
        verb = "are" if len(names) > 1 else "is"
        _warn(f"{' and '.join(names) or 'the output'} {verb} complete and in place, "
              "but could not be made durable: "
              f"{e.strerror or e} (a crash may still lose it)")
        return NOT_DURABLE_STATUS
    except OSError as e:
        where = f"{e.filename}: " if e.filename else ""
        return _fail(f"{where}{e.strerror or e}", 1)
