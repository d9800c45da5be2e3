"""The compact subset of known-answer vectors carried by the project: whole,
covering every level, operation and rejection kind, and (where the full public
set is present) made only of cases taken verbatim from it."""

import json
from pathlib import Path

import pytest

from conftest import _FULL_VECTORS

SUBSET = Path(__file__).resolve().parents[2] / "tests" / "vectors"
MANIFEST = json.loads((SUBSET / "manifest.json").read_text())["cases"]
FILES = ["mlkem_keygen.json", "mlkem_encaps.json", "mlkem_decaps.json",
         "mlkem_keygen_decaps.json", "mlkem_input_checks.json", "mlkem_accumulated.json",
         "hmac_sha3_256.json", "hkdf_sha3_256.json"]


def cases(directory, name):
    doc = json.loads((directory / name).read_text())
    return doc["digests"] if isinstance(doc, dict) else doc


def test_every_file_present_and_counted():
    assert sorted(MANIFEST) == sorted(FILES)
    for name in FILES:
        assert len(cases(SUBSET, name)) == MANIFEST[name], name
    assert sum((SUBSET / n).stat().st_size for n in FILES) < 2_000_000


def test_every_level_operation_and_rejection_kind_is_covered():
    for name in FILES[:6]:
        assert {c["level"] for c in cases(SUBSET, name)} == {512, 768, 1024}, name
    checks = {(c["level"], c["op"], c["check"]) for c in cases(SUBSET, "mlkem_input_checks.json")}
    for level in (512, 768, 1024):
        for op, check in [("encaps", "length"), ("encaps", "modulus"), ("decaps", "length"),
                          ("decaps", "dk-hash"), ("keygen_seed", "seed-length"),
                          ("ek_check", None), ("ek_check", "length"), ("dk_check", None),
                          ("dk_check", "dk-hash")]:
            assert (level, op, check) in checks
    decaps = {c["comment"] for c in cases(SUBSET, "mlkem_decaps.json")}
    assert "modified ciphertext" in decaps  # implicit rejection
    hmac_valid = {c["valid"] for c in cases(SUBSET, "hmac_sha3_256.json")}
    assert hmac_valid == {True, False}


@pytest.mark.skipif(not (_FULL_VECTORS / "mlkem_keygen.json").is_file(),
                    reason="the full public set is not beside the project")
def test_subset_cases_are_verbatim_from_the_full_set():
    for name in FILES:
        full = {json.dumps(c, sort_keys=True) for c in cases(_FULL_VECTORS, name)}
        sub = [json.dumps(c, sort_keys=True) for c in cases(SUBSET, name)]
        assert set(sub) <= full, name
        assert len(set(sub)) == len(sub), name
