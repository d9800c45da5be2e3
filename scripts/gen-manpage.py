"""Writes man/tarnel.1, the manual page, from the command's own parser.

Run it with the interpreter where tarnel is installed, after any change to
the command line: python scripts/gen-manpage.py. The tests check that the
committed page equals what this writes.
"""

from pathlib import Path

from tarnel import _manpage

page = Path(__file__).resolve().parent.parent / "man" / "tarnel.1"
page.write_text(_manpage.render(), encoding="utf-8", newline="\n")
print(f"wrote {page.relative_to(Path.cwd()) if page.is_relative_to(Path.cwd()) else page}")
