"""Shared fixtures: one key pair per level, and the known-answer vectors."""

import json
from pathlib import Path

import pytest

from tarnel import _tarnel_core as tc

LEVELS = [tc.SecurityLevel.ML_KEM_512, tc.SecurityLevel.ML_KEM_768, tc.SecurityLevel.ML_KEM_1024]

# FIPS 203, Table 3: sizes in bytes per level (ek, dk, capsule).
SIZES = {512: (800, 1632, 768), 768: (1184, 2400, 1088), 1024: (1568, 3168, 1568)}

VECTORS_DIR = Path(__file__).resolve().parents[2].parent / "shared" / "vectors"


def level_id(level):
    return f"ML-KEM-{int(level)}"


def level_of(value):
    """The SecurityLevel object whose numeric value is `value`."""
    return {512: tc.SecurityLevel.ML_KEM_512, 768: tc.SecurityLevel.ML_KEM_768,
            1024: tc.SecurityLevel.ML_KEM_1024}[value]


def load_vectors(name):
    """The parsed JSON vector file `name`; skips the test when it is absent."""
    path = VECTORS_DIR / name
    if not path.is_file():
        pytest.skip(f"known-answer vectors not found at {path}")
    with path.open() as f:
        return json.load(f)


@pytest.fixture(scope="module")
def keypairs():
    """One random key pair per level, keyed by the level's numeric value."""
    return {int(level): tc.generate_keypair(level) for level in LEVELS}
