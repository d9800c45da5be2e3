"""Rebuilds this directory's compact subset of the public known-answer vectors
from the full set (by default ../shared/vectors beside the project).

Run from the project root: python tests/vectors/make_subset.py [FULL_DIR]

The choice is deterministic: for every file, level and kind of case (source,
operation, failing check, purpose), a few cases spread over the kind's range;
the small files (decapsulation, HMAC, HKDF, accumulated digests) whole.
"""

import json
import re
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
FULL = Path(sys.argv[1]) if len(sys.argv) > 1 else HERE.parents[2] / "shared" / "vectors"

# Files copied whole.
WHOLE = ["mlkem_decaps.json", "mlkem_accumulated.json", "hmac_sha3_256.json", "hkdf_sha3_256.json"]


def kind_keygen(c):
    return c["source"]


def kind_encaps(c):
    return (c["source"], "dk" in c)


def kind_keygen_decaps(c):
    # The 100 "official round 3 seeds N" cases are one kind.
    return re.sub(r" \d+$", "", c.get("comment", ""))


def kind_input_checks(c):
    return (c["source"], c["op"], c["check"], c["fips203_valid"])


# file -> (kind of a case, cases kept per kind and level, kinds kept whole)
PICK = {
    "mlkem_keygen.json": (kind_keygen, 4),
    "mlkem_encaps.json": (kind_encaps, 4),
    "mlkem_keygen_decaps.json": (kind_keygen_decaps, 2),
    "mlkem_input_checks.json": (kind_input_checks, 4),
}

# Kinds kept whole whatever their size: every rejection of a decapsulation
# key with a wrong stored hash (two checks, few cases).
KEEP_WHOLE = {("wycheproof", "decaps", "dk-hash", False), ("acvp", "dk_check", "dk-hash", False)}


def spread(cases, n):
    """n cases evenly spread over the list (first and last included)."""
    if len(cases) <= n:
        return cases
    return [cases[round(i * (len(cases) - 1) / (n - 1))] for i in range(n)]


def subset(name, cases):
    kind, per_kind = PICK[name]
    groups = {}
    for c in cases:
        groups.setdefault((c["level"], kind(c)), []).append(c)
    keep = set()
    for (_, k), group in groups.items():
        chosen = group if k in KEEP_WHOLE else spread(group, per_kind)
        keep.update(id(c) for c in chosen)
    return [c for c in cases if id(c) in keep]  # original order


def write(path, value):
    if isinstance(value, list):  # one case per line: readable diffs
        text = "[\n" + ",\n".join(json.dumps(c, separators=(",", ":")) for c in value) + "\n]\n"
    else:
        text = json.dumps(value, indent=1) + "\n"
    path.write_text(text)


def main():
    counts = {}
    for name in sorted(WHOLE + list(PICK)):
        raw = (FULL / name).read_text()
        data = json.loads(raw)
        if name in PICK:
            data = subset(name, data)
            write(HERE / name, data)
        else:
            (HERE / name).write_text(raw)
        counts[name] = len(data["digests"]) if isinstance(data, dict) else len(data)
    write(HERE / "manifest.json", {"cases": counts})
    for name, n in counts.items():
        print(f"{name}: {n} cases, {(HERE / name).stat().st_size} bytes")


if __name__ == "__main__":
    main()
