"""The manual page of the ``tarnel`` command, made from its argument parser.

``python -m tarnel._manpage [OUT]`` writes the page (roff, for ``man``) to
OUT or stdout. Every option, its help text and the exit statuses come from
:func:`tarnel.cli.build_parser`, so the page cannot drift from the command.
"""

from __future__ import annotations

import argparse
import sys
from typing import Optional

from . import cli
from ._version import __version__

# The date the page's text last changed, shown in its header (bump it with
# the text; the version comes from the package).
PAGE_DATE = "2026-12-11"

_EXAMPLES = (
    ("Make a key pair; send alice.pub to those who write to you:",
     "tarnel keygen -o alice"),
    ("Encrypt a file, and decrypt it:",
     "tarnel encrypt -r alice.pub -o report.pdf.tarnel report.pdf\n"
     "tarnel decrypt -i alice.key -o report.pdf report.pdf.tarnel"),
    ("Encrypt to a text block for mail or chat, the key given as text:",
     "tarnel encrypt -a -r \"$(cat alice.pub)\" notes.txt > notes.txt.asc"),
    ("Print the public key of a secret key file, as Base64 text:",
     "tarnel pubkey -i alice.key --format base64"),
    ("Encrypt a directory through a pipe:",
     "tar -cf - docs | tarnel encrypt -r alice.pub > docs.tar.tarnel"),
)


_FILES = (
    ("PREFIX.key",
     "A secret key file written by keygen: the secret key encrypted under a "
     "passphrase stretched with scrypt, mode 0600. It never needs to leave its "
     "owner's machine."),
    ("PREFIX.pub",
     "The matching public key, to give to those who encrypt to you."),
    (".NAME.XXXXXXXX.part",
     "A hidden temporary file beside an output NAME, used only where the file "
     "system cannot make unnamed temporary files (mode 0600 for secrets). It is "
     "removed on every handled path; only a SIGKILL or a power loss can leave one."),
)

_SEE_ALSO = (("age", "1"), ("gpg", "1"), ("openssl", "1"), ("scrypt", "1"))


def _esc(text: str) -> str:
    """Text safe for roff: backslashes, dashes, and a leading dot or quote."""
    out = text.replace("\\", "\\e").replace("-", "\\-")
    lines = [("\\&" + line if line[:1] in (".", "'") else line) for line in out.split("\n")]
    return "\n".join(lines)


def _one_line(text: str) -> str:
    return " ".join(text.split())


def _subcommands(parser: argparse.ArgumentParser) -> dict[str, argparse.ArgumentParser]:
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            return dict(action.choices)
    return {}


def _invocation(action: argparse.Action) -> str:
    """``-o OUT, --output OUT``, the same under every Python version."""
    if action.metavar is not None:
        metavar = str(action.metavar)
    elif action.choices is not None:
        metavar = "{" + ",".join(str(c) for c in action.choices) + "}"
    else:
        metavar = action.dest.upper()
    if not action.option_strings:
        return metavar
    if action.nargs == 0:
        return ", ".join(action.option_strings)
    return ", ".join(f"{option} {metavar}" for option in action.option_strings)


def _options(parser: argparse.ArgumentParser) -> list[str]:
    formatter = parser._get_formatter()
    out: list[str] = []
    for action in parser._actions:
        if isinstance(action, (argparse._HelpAction, argparse._SubParsersAction)):
            continue
        invocation = _invocation(action)
        help_text = formatter._expand_help(action) if action.help else ""
        out += [".TP", f"\\fB{_esc(invocation)}\\fR", _esc(_one_line(help_text))]
    return out


def render(parser: Optional[argparse.ArgumentParser] = None) -> str:
    """The manual page, as roff text."""
    parser = parser or cli.build_parser()
    description = _one_line(parser.description or "")
    lines = [
        f'.TH TARNEL 1 "{PAGE_DATE}" "tarnel {__version__}" "User Commands"',
        ".SH NAME",
        f"tarnel \\- {_esc(description[0].lower() + description[1:].rstrip('.'))}",
        ".SH SYNOPSIS",
    ]
    commands = _subcommands(parser)
    for name, sub in commands.items():
        usage = _one_line(sub.format_usage()).removeprefix("usage: ").replace(" [-h]", "", 1)
        lines += [".PP", f".B {_esc(usage)}"]
    lines += [
        ".PP",
        ".B tarnel \\-\\-version",
        ".SH DESCRIPTION",
        _esc(description),
        "A hyphen or an absent path means standard input or output, so the command "
        "works in pipes. Output files appear whole or not at all, and an existing "
        "file is replaced only with \\fB\\-\\-force\\fR. Every failure prints one "
        "line \\fBtarnel: error: ...\\fR on standard error.",
        ".SH OPTIONS",
    ]
    lines += _options(parser)
    lines.append(".SH COMMANDS")
    for name, sub in commands.items():
        lines += [f".SS {name}", _esc(_one_line(sub.description or ""))]
        lines += _options(sub)
    lines += [
        ".SH ENVIRONMENT",
        ".TP",
        f"\\fB{cli.PASSWORD_ENV}\\fR",
        "The passphrase of the secret key file, when neither "
        "\\fB\\-\\-password\\-file\\fR nor \\fB\\-\\-password\\-env\\fR is given.",
        ".SH EXIT STATUS",
    ]
    for code, text in cli.EXIT_STATUS:
        lines += [".TP", f"\\fB{_esc(code)}\\fR", _esc(text)]
    lines.append(".SH EXAMPLES")
    for text, command in _EXAMPLES:
        lines += [".PP", _esc(text), ".PP", ".nf", ".RS", _esc(command), ".RE", ".fi"]
    lines.append(".SH FILES")
    for name, text in _FILES:
        lines += [".TP", f"\\fI{_esc(name)}\\fR", _esc(text)]
    lines += [
        ".SH SEE ALSO",
        ", ".join(f"\\fB{page}\\fR({section})" for page, section in _SEE_ALSO),
        ".PP",
        "The documentation site (built from docs/ in the source distribution) "
        "describes every format tarnel writes and its security model.",
    ]
    return "\n".join(lines) + "\n"


def main(argv: Optional[list[str]] = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    text = render()
    if args and args[0] != "-":
        with open(args[0], "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
    else:
        sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
