"""Every example of the documentation site (docs/) runs, so none can rot.

In each page, in order and in one namespace per page:
- ``python`` blocks are executed;
- ``pycon`` blocks are doctests: their output must match;
- ``console`` blocks run each ``$ `` command with bash in a scratch directory
  (``TARNEL_PASSWORD`` set, the installed ``tarnel`` on PATH). A command must
  succeed, unless the first line shown after it starts with ``tarnel: error:``;
  every line shown after a command must appear in its output (``...`` in a
  shown line stands for any text).
Blocks in other languages (``sh`` for installation steps, ``text``) are shown
only.
"""

from __future__ import annotations

import doctest
import os
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest

DOCS = Path(__file__).resolve().parents[2] / "docs"
PAGES = sorted(
    p for p in DOCS.rglob("*.md")
    if "_build" not in p.parts and "_generated" not in p.parts and p.name != "README.md"
)
RUN = {"python", "pycon", "console"}
FENCE = re.compile(r"^(`{3,}|~{3,})\s*([\w{}-]*)")


@dataclass
class Block:
    lang: str
    line: int
    text: str


def blocks(page: Path) -> list[Block]:
    found: list[Block] = []
    lines = page.read_text(encoding="utf-8").splitlines()
    i = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        fence, lang, start = m.group(1), m.group(2), i + 1
        i += 1
        body: list[str] = []
        while i < len(lines) and not lines[i].startswith(fence):
            body.append(lines[i])
            i += 1
        i += 1
        found.append(Block(lang, start + 1, "\n".join(body) + "\n"))
    return found


def test_the_pages_have_examples() -> None:
    """The harness finds the pages and their blocks (guards against a
    parser that silently finds nothing)."""
    names = {p.relative_to(DOCS).as_posix() for p in PAGES}
    assert {"index.md", "formats.md", "security.md", "cli.md"} <= names
    langs = {b.lang for p in PAGES for b in blocks(p)}
    assert RUN <= langs


def _commands(text: str) -> list[tuple[str, list[str]]]:
    """(command, shown output lines) for each ``$ `` line of a console block."""
    result: list[tuple[str, list[str]]] = []
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        i += 1
        if not line.startswith("$ "):
            if result and line.strip():
                result[-1][1].append(line)
            continue
        cmd = line[2:]
        while cmd.endswith("\\") and i < len(lines):
            cmd = cmd[:-1] + "\n" + lines[i]
            i += 1
        result.append((cmd, []))
    return result


def _matches(shown: str, output: str) -> bool:
    pattern = ".*".join(re.escape(part) for part in shown.strip().split("..."))
    return any(re.fullmatch(pattern, line.strip()) for line in output.splitlines())


def _run_console(block: Block, page: str, cwd: Path) -> None:
    # "python" in an example is the interpreter running the tests.
    bin_dir = cwd / ".bin"
    if not bin_dir.exists():
        bin_dir.mkdir()
        wrapper = bin_dir / "python"
        wrapper.write_text(f'#!/bin/sh\nexec "{sys.executable}" "$@"\n')
        wrapper.chmod(0o755)
    env = dict(os.environ)
    env["PATH"] = os.pathsep.join(
        [str(bin_dir), os.path.dirname(sys.executable), env.get("PATH", "")]
    )
    env["TARNEL_PASSWORD"] = "a long random passphrase for the docs"
    for cmd, shown in _commands(block.text):
        proc = subprocess.run(
            ["bash", "-c", "set -eo pipefail\n" + cmd],
            cwd=cwd, env=env, capture_output=True, text=True,
            stdin=subprocess.DEVNULL, timeout=120,
        )
        output = proc.stdout + proc.stderr
        where = f"{page}:{block.line}: $ {cmd}"
        expect_failure = bool(shown) and shown[0].startswith("tarnel: error:")
        if expect_failure:
            assert proc.returncode != 0, f"{where}: succeeded, a failure is shown\n{output}"
        else:
            assert proc.returncode == 0, f"{where}: exit {proc.returncode}\n{output}"
        for line in shown:
            assert _matches(line, output), f"{where}: {line!r} not in the output\n{output}"


def _run_pycon(block: Block, page: str, namespace: dict[str, object]) -> None:
    test = doctest.DocTestParser().get_doctest(
        block.text, namespace, page, page, block.line - 1
    )
    report: list[str] = []
    runner = doctest.DocTestRunner(optionflags=0)
    runner.run(test, out=report.append, clear_globs=False)
    assert runner.failures == 0, "".join(report)


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.relative_to(DOCS).as_posix())
def test_page_examples(page: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    name = page.relative_to(DOCS).as_posix()
    # Files the tutorials start from.
    (tmp_path / "report.pdf").write_bytes(os.urandom(300_000))
    (tmp_path / "notes.txt").write_text("meeting notes\n")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("TARNEL_PASSWORD", "a long random passphrase for the docs")
    namespace: dict[str, object] = {"__name__": "__docs__"}
    for block in blocks(page):
        if block.lang == "python":
            code = compile(block.text, f"{name}:{block.line}", "exec")
            exec(code, namespace)  # noqa: S102 - the documentation's own examples
        elif block.lang == "pycon":
            _run_pycon(block, name, namespace)
        elif block.lang == "console":
            _run_console(block, name, tmp_path)


def test_performance_figures_match_the_readme() -> None:
    """The performance page shows the README's benchmark tables, row for row,
    so a new benchmark run cannot leave one of them behind."""
    readme = (DOCS.parent / "README.md").read_text(encoding="utf-8")
    page = (DOCS / "performance.md").read_text(encoding="utf-8")

    def rows(text: str) -> list[str]:
        return [line for line in text.splitlines() if re.match(r"\| *[\w-]+.* \| *[\d.,/ ]+", line)]

    assert rows(page) and rows(page) == rows(readme)
