"""Shared fixtures: one key pair per level, the known-answer vectors, and the
check that native whole-file work leaves no thread behind."""

import json
import os
import time
from collections import Counter
from pathlib import Path

import pytest

from tarnel import _tarnel_core as tc

from support import native_threads, ok, run, unnamed_temps_work

LEVELS = [tc.SecurityLevel.ML_KEM_512, tc.SecurityLevel.ML_KEM_768, tc.SecurityLevel.ML_KEM_1024]

# FIPS 203, Table 3: sizes in bytes per level (ek, dk, capsule).
SIZES = {512: (800, 1632, 768), 768: (1184, 2400, 1088), 1024: (1568, 3168, 1568)}

# Known answers: the full public set beside the project when it is there, the
# compact subset carried in tests/vectors otherwise; TARNEL_VECTORS=<dir>
# chooses one explicitly.
_ROOT = Path(__file__).resolve().parents[2]
_FULL_VECTORS = _ROOT.parent / "shared" / "vectors"
VECTORS_DIR = Path(os.environ.get("TARNEL_VECTORS") or (
    _FULL_VECTORS if (_FULL_VECTORS / "mlkem_keygen.json").is_file() else _ROOT / "tests" / "vectors"))

# Known-answer cases run in this session, per file (reported at the end).
VECTOR_CASES_RUN = Counter()


def level_id(level):
    return f"ML-KEM-{int(level)}"


def level_of(value):
    """The SecurityLevel object whose numeric value is `value`."""
    return {512: tc.SecurityLevel.ML_KEM_512, 768: tc.SecurityLevel.ML_KEM_768,
            1024: tc.SecurityLevel.ML_KEM_1024}[value]


def load_vectors(name):
    """The parsed JSON vector file `name`; a missing file fails the test."""
    path = VECTORS_DIR / name
    if not path.is_file():
        pytest.fail(f"known-answer vector file {path} is missing")
    with path.open() as f:
        return json.load(f)


def counted(name, cases):
    """Yields `cases`, counting each one as a known-answer case run from `name`."""
    for case in cases:
        yield case
        VECTOR_CASES_RUN[name] += 1


def pytest_terminal_summary(terminalreporter):
    if VECTOR_CASES_RUN:
        per_file = ", ".join(f"{n} {name}" for name, n in sorted(VECTOR_CASES_RUN.items()))
        terminalreporter.write_line(
            f"known-answer vector cases run: {sum(VECTOR_CASES_RUN.values())} "
            f"from {VECTORS_DIR} ({per_file})")


@pytest.fixture(scope="module")
def keypairs():
    """One random key pair per level, keyed by the level's numeric value."""
    return {int(level): tc.generate_keypair(level) for level in LEVELS}


# ---------------------------------------------------------------------------
# Shared by the command-line and file tests (helpers in support.py)


@pytest.fixture(scope="module")
def keys(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:
    d = tmp_path_factory.mktemp("keys")
    for name, level in [("a", "768"), ("b", "768"), ("c", "1024")]:
        ok(run("keygen", "--level", level, "-o", str(d / name)))
    return {n: d / n for n in "abc"}


@pytest.fixture(params=["unnamed", "named"])
def temp_kind(request: pytest.FixtureRequest, tmp_path: Path) -> str:
    """Both kinds of temporary output: unnamed (O_TMPFILE) and hidden names."""
    if request.param == "unnamed" and not unnamed_temps_work(tmp_path):
        pytest.skip("unnamed temporary files cannot be linked on this system")
    return str(request.param)


@pytest.fixture
def no_native_thread_left():
    """Fails the test when a thread that native code started outlives it."""
    before = native_threads()
    yield
    # A joined thread may still be leaving the kernel's task list.
    deadline = time.monotonic() + 2
    while native_threads() != before and time.monotonic() < deadline:
        time.sleep(0.01)
    assert native_threads() == before, "a native thread outlived its call"
