"""Sphinx configuration of tarnel's documentation site.

Build it with ``bash scripts/build-docs.sh`` (HTML in docs/_build/html).
"""

from __future__ import annotations

import re
from pathlib import Path

DOCS = Path(__file__).resolve().parent
ROOT = DOCS.parent
GENERATED = DOCS / "_generated"

project = "tarnel"
author = "the tarnel developers"
copyright = "the tarnel developers"


def _version() -> str:
    # The package's one written version, read without importing the package.
    text = (ROOT / "src" / "tarnel" / "_version.py").read_text(encoding="utf-8")
    match = re.search(r'^__version__\s*=\s*"([^"]+)"', text, re.MULTILINE)
    if match is None:
        raise RuntimeError("src/tarnel/_version.py has no __version__")
    return match.group(1)


release = version = _version()

extensions = ["myst_parser", "autoapi.extension", "sphinx.ext.napoleon"]
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3
exclude_patterns = ["_build", "README.md"]
# Files pulled in from the repository root may skip heading levels.
suppress_warnings = ["myst.header"]

html_theme = "furo"
html_title = f"tarnel {release}"

# The API reference is read statically from the package: the typed stub of
# the native module and the Python modules, so no build of the extension is
# needed and the English docstrings of the stub win over the native ones.
autoapi_type = "python"
autoapi_dirs = [str(ROOT / "src" / "tarnel")]
autoapi_root = "reference/api"
autoapi_file_patterns = ["*.pyi", "*.py"]
autoapi_options = ["members", "undoc-members", "show-inheritance", "imported-members"]
autoapi_ignore = ["*/cli/*", "*/__main__.py", "*/_manpage.py"]
autoapi_keep_files = False
autoapi_add_toctree_entry = False
autoapi_member_order = "groupwise"
# Google-style docstrings; an "Attributes:" section becomes a field list, so
# it cannot clash with the properties the stub declares.
napoleon_use_ivar = True


# ---------------------------------------------------------------------------
# Pages assembled at build time, in docs/_generated (not committed): the
# repository's changelog and security policy (with a stand-in while a file is
# missing) and the command line's help. The benchmark chart is committed
# (images/compare.svg, drawn by bench/compare.py from images/compare.json).

_LINK = re.compile(r"\[([^\]]+)\]\((?!https?:|mailto:|#)([^)]+)\)")


def _from_root(name: str, fallback: str) -> str:
    """The text of a file at the repository root, its relative links made
    plain text (they point into the repository, not into this site)."""
    path = ROOT / name
    if not path.exists():
        return fallback
    return _LINK.sub(r"\1 (`\2`)", path.read_text(encoding="utf-8"))


_CHANGELOG_FALLBACK = """\
# Changelog

## 0.1.0

First release: ML-KEM-512, -768 and -1024 (FIPS 203); one-shot packages and
streams with AES-256-GCM; the file API and the `tarnel` command; public keys
as Base64 text, text blocks and JSON; secret keys wrapped under a password.
"""

_SECURITY_FALLBACK = """\
Please do not report a suspected vulnerability in a public issue. Write to
the maintainers privately, through the repository host's private
vulnerability reporting, with the version of tarnel, what you observed and,
if you can, a way to reproduce it. You will get an answer, and a date for
public disclosure will be agreed with you once a fix is ready.
"""


def _cli_help() -> str:
    import argparse
    import os

    os.environ["COLUMNS"] = "80"
    from tarnel.cli import build_parser  # needs the installed package

    parser = build_parser()
    parts = ["```text", parser.format_help().rstrip(), "```"]
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            for name, sub in action.choices.items():
                parts += ["", f"### `tarnel {name}`", "", "```text",
                          sub.format_help().rstrip(), "```"]
    return "\n".join(parts) + "\n"


def _write_if_changed(name: str, text: str) -> None:
    path = GENERATED / name
    if not path.exists() or path.read_text(encoding="utf-8") != text:
        path.write_text(text, encoding="utf-8")


GENERATED.mkdir(exist_ok=True)
_write_if_changed("changelog.md", _from_root("CHANGELOG.md", _CHANGELOG_FALLBACK))
_write_if_changed("security-contact.md", _from_root("SECURITY.md", _SECURITY_FALLBACK))
_write_if_changed("cli-help.md", _cli_help())
exclude_patterns.append("_generated")
