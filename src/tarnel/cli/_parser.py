"""The argument parser of the ``tarnel`` command: its help texts, examples
and exit statuses (also the source of the manual page).
"""

from __future__ import annotations

import argparse
import re
import sys
import textwrap
from collections.abc import Sequence
from typing import NoReturn, Optional, cast

from . import decrypt, encrypt, inspect, keygen, passwd, pubkey, rekey
from ._terminal import CliError, PROG, _shown_argument


# The commands in the order of the help text. Each is a module with
# add_command(command), which adds its parser and options and sets run, and
# run(args), which does the command and returns the exit status.
COMMANDS = (keygen, encrypt, decrypt, rekey, pubkey, passwd, inspect)


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        raise CliError(_without_key_text(message), 2)


def _without_key_text(message: str) -> str:
    """A parser message with the arguments it quotes (the unrecognised ones,
    and values in quotes) left out where they may be key text."""
    head, sep, tail = message.partition("unrecognized arguments: ")
    if sep:
        words = [_shown_argument(w) or f"({len(w)} characters, not shown)" for w in tail.split()]
        message = head + sep + " ".join(words)

    def quoted(m: "re.Match[str]") -> str:
        return m.group(0) if _shown_argument(m.group(1)) is not None else "(not shown)"

    return re.sub(r"'([^']*)'", quoted, message)


EXIT_STATUS = (
    ("0", "success (for inspect: a key file, or a complete stream or file)"),
    ("1", "failure: unreadable or invalid key, wrong password, no key that opens "
          "the input, damaged or truncated stream or file, bad armor, I/O error; "
          "inspect of an incomplete stream or file"),
    ("2", "usage error: unknown option, bad value, no password and no terminal, "
          "an unset --password-env variable, a --level the key contradicts, "
          "a recipient the options refuse (--approved-only, --format stream, "
          "ML-KEM-512), a passphrase beside recipients, binary output to a terminal"),
    ("3", "the output is complete and in place, but could not be made durable "
          "(syncing its directory or closing it failed); a warning names it"),
    ("130", "interrupted (Ctrl-C); an output already in place when the signal "
            "came is named in the message"),
    ("128+N", "terminated by signal N (TERM, HUP), likewise; 141 when the reader of "
              "stdout goes away"),
)


HELP_WIDTH = 79


def _exit_status_epilog() -> str:
    lines = ["exit status:"]
    for code, text in EXIT_STATUS:
        lines += textwrap.wrap(text, HELP_WIDTH, initial_indent=f"  {code:<6} ",
                               subsequent_indent=" " * 9)
    return "\n".join(lines)


# One example per command, shown by its --help (and in the manual page).
EXAMPLES = {
    "keygen": "tarnel keygen -o alice          # alice.pub to share, alice.key to keep",
    "encrypt": "tarnel encrypt -r alice.pub -r bob.pub -o report.pdf.tarnel report.pdf",
    "decrypt": "tarnel decrypt -i alice.key -o report.pdf report.pdf.tarnel",
    "rekey": "tarnel rekey -i alice.key -r bob.pub report.pdf.tarnel",
    "pubkey": "tarnel pubkey -i alice.key --format base64",
    "inspect": "tarnel inspect report.pdf.tarnel",
}


def _command_epilog(name: str) -> str:
    lines = []
    if name in EXAMPLES:
        lines += ["example:", f"  {EXAMPLES[name]}", ""]
    lines.append("exit statuses: see tarnel --help")
    return "\n".join(lines)


class _VersionAction(argparse.Action):
    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: object) -> None:
        super().__init__(option_strings, dest, nargs=0, help=cast(str, kwargs.get("help")))

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: object, option_string: Optional[str] = None) -> None:
        from .._about import version_text

        sys.stdout.write(version_text())
        sys.stdout.flush()
        parser.exit(0)


QUIET_HELP = "no progress line on stderr"
VERBOSE_HELP = ("say on stderr what was found and done: the input's format, the key file "
                "that opened it, the recipients written to")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Post-quantum file encryption with ML-KEM and AES-256-GCM.",
        epilog=_exit_status_epilog(),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--version", action=_VersionAction,
        help="print the version of tarnel and of the OpenSSL it runs on",
    )
    parser.add_argument("-q", "--quiet", action="store_true", help=QUIET_HELP)
    parser.add_argument("-v", "--verbose", action="store_true", help=VERBOSE_HELP)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, help: str, description: str) -> argparse.ArgumentParser:
        p = sub.add_parser(
            name, help=help, description=textwrap.fill(description, HELP_WIDTH),
            epilog=_command_epilog(name), formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        # Also after the command's name; left unset unless given there, so
        # that "tarnel -q COMMAND" still counts.
        p.add_argument("-q", "--quiet", action="store_true", default=argparse.SUPPRESS,
                       help=QUIET_HELP)
        p.add_argument("-v", "--verbose", action="store_true", default=argparse.SUPPRESS,
                       help=VERBOSE_HELP)
        return p

    for room in COMMANDS:
        room.add_command(command)
    return parser
