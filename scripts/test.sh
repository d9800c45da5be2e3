#!/usr/bin/env bash
# Installs what the tests need and runs every test: the C++ core's unit tests
# (GoogleTest through ctest) and the Python tests (pytest) against the
# installed package. Safe to run on a fresh machine; as root it installs the
# missing system packages with apt-get.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
JOBS=${JOBS:-2}

# System packages: compiler, OpenSSL headers, GoogleTest, JSON reader for the
# known-answer tests.
need=()
for pkg in g++ libssl-dev libgtest-dev nlohmann-json3-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}"
  else
    echo "missing system packages: ${need[*]} (run as root or install them)" >&2
    exit 1
  fi
fi

# Python side: build tools, then the release wheel (built from the tracked
# files, repaired with libcrypto bundled, checked), installed with the test
# extras: the Python tests run against exactly what a user installs.
"$PY" -m pip install -q --disable-pip-version-check "cmake>=3.26" ninja
PYTHON="$PY" bash scripts/build-wheel.sh dist
wheel=$(ls dist/tarnel-*-manylinux*.whl)
"$PY" -m pip install -q --disable-pip-version-check "$wheel[test,docs]"
"$PY" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$wheel"

# C++ core tests.
gen=()
command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)
cmake -S . -B build/tests "${gen[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DTARNEL_BUILD_TESTS=ON -DTARNEL_BUILD_PYTHON=OFF >/dev/null
cmake --build build/tests -j "$JOBS"
ctest --test-dir build/tests --output-on-failure -j "$JOBS"
# How many known-answer cases the C++ tests ran, and from which set.
build/tests/core_tests --gtest_filter='VectorFiles.*' | grep '^known-answer'

# The ML-KEM tests again on each SIMD arithmetic path the processor can take,
# forced (the run above used the widest).
if [ "$(uname -m)" = x86_64 ]; then
  for path in sse2 $(grep -qw avx2 /proc/cpuinfo && echo avx2); do
    TARNEL_TEST_ARITH=$path build/tests/core_tests --gtest_brief=1 \
      --gtest_filter='MlKem*:VectorFiles*:Levels/*:Hybrid*'
  done
fi

# The same core tests on the portable (non-SIMD) arithmetic, in a debug build
# (-O1, assertions and the residue check of secret intermediates on): the
# known answers and the accumulated digests must match the SIMD build's.
cmake -S . -B build/portable "${gen[@]}" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
  -DTARNEL_PORTABLE_ARITHMETIC=ON -DTARNEL_BUILD_TESTS=ON -DTARNEL_BUILD_PYTHON=OFF >/dev/null
cmake --build build/portable -j "$JOBS" --target core_tests
build/portable/core_tests --gtest_brief=1

# Type checks: the package and the examples under mypy --strict, and the
# stub of the native module against the built module.
"$PY" -m mypy --strict --no-incremental src/tarnel examples
"$PY" -m mypy.stubtest --ignore-missing-stub tarnel._tarnel_core
"$PY" -m mypy.stubtest --ignore-missing-stub tarnel._tarnel_pq

# The documentation site, warnings as errors (its examples run with the
# Python tests, in tests/python/test_docs.py).
PYTHON="$PY" bash scripts/build-docs.sh --no-install

# Python tests against the installed wheel (run from tests/ so that the
# source tree is not imported by mistake). Exit code 5 means no test ran.
set +e
"$PY" -m pytest -q -p no:cacheprovider tests/python "$@"
rc=$?
# When the full public vectors were used, the carried subset runs too.
if [ -z "${TARNEL_VECTORS:-}" ] && [ -f ../shared/vectors/mlkem_keygen.json ] && [ $rc -eq 0 ]; then
  TARNEL_VECTORS=tests/vectors "$PY" -m pytest -q -p no:cacheprovider tests/python \
    -k "vectors or oracle"
  rc=$?
fi
set -e
# The release itself: the wheel installed into a fresh virtual environment,
# its exported symbols, its bundled libcrypto, and the source distribution.
set +e
"$PY" -m pytest -q -p no:cacheprovider -rP tests/packaging
prc=$?
set -e
if [ $prc -ne 0 ] && { [ $rc -eq 0 ] || [ $rc -eq 5 ]; }; then rc=$prc; fi
if [ $rc -eq 5 ]; then
  echo "pytest collected no tests; nothing to run on the Python side" >&2
  rc=0
fi
exit $rc
