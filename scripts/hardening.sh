#!/usr/bin/env bash
# Hardening checks, each bounded in time:
#   1. the C++ tests and the Python tests under AddressSanitizer + UBSan
#      (Python with the sanitizer runtime preloaded);
#   2. every libFuzzer harness in tests/fuzz/, from its seed corpus and
#      the inputs that once broke it (tests/fuzz/regressions/);
#   3. the constant-time check of ML-KEM under valgrind, at -O3 (what the
#      wheel ships) and at -O2;
#   4. valgrind memcheck of the C++ tests;
#   5. the Python leak check;
#   6. the atheris harness over the Python entry points.
# As root it installs the missing system packages (clang, valgrind) with apt.
#
# Knobs (environment): FUZZ_SECONDS per harness (default 20), LEAK_ITERATIONS
# (5000), ATHERIS_RUNS (200000), MEMCHECK_FILTER (gtest filter for step 4),
# HARDENING_STEPS (default "1 2 3 4 5 6"), JOBS (2).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PY=${PYTHON:-python3}
JOBS=${JOBS:-2}
FUZZ_SECONDS=${FUZZ_SECONDS:-20}
LEAK_ITERATIONS=${LEAK_ITERATIONS:-5000}
ATHERIS_RUNS=${ATHERIS_RUNS:-200000}
STEPS=${HARDENING_STEPS:-1 2 3 4 5 6}
# The whole suite by default (about 90 s, most of it the 10 000-iteration
# accumulated run); "-*TenThousand*" leaves that one out.
MEMCHECK_FILTER=${MEMCHECK_FILTER:-*}

need=()
for pkg in g++ libssl-dev libgtest-dev nlohmann-json3-dev clang-14 libclang-rt-14-dev valgrind; do
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
"$PY" -m pip install -q --disable-pip-version-check "cmake>=3.26" ninja pytest \
  "cryptography>=47" "kyber-py>=1.2" "ecdsa>=0.19" atheris

gen=()
command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)
step_start=0
begin() { step_start=$SECONDS; echo "=== $*"; }
end() { echo "=== done in $((SECONDS - step_start)) s"; }
want() { [[ " $STEPS " == *" $1 "* ]]; }

# 1. Sanitizers.
if want 1; then
  begin "ASan + UBSan: C++ tests and Python tests"
  cmake -S . -B build-asan "${gen[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTARNEL_SANITIZE=ON -DTARNEL_BUILD_TESTS=ON -DTARNEL_BUILD_PYTHON=ON >/dev/null
  cmake --build build-asan -j "$JOBS"
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1 \
    ctest --test-dir build-asan --output-on-failure -j "$JOBS"
  # CPython does not free everything at exit, so leak detection is off here;
  # the leak check (step 5) covers the extension.
  LD_PRELOAD="$(gcc -print-file-name=libasan.so)" ASAN_OPTIONS=detect_leaks=0 \
    PYTHONPATH="$ROOT/build-asan/python" \
    "$PY" -m pytest -q -p no:cacheprovider tests/python
  unset UBSAN_OPTIONS
  end
fi

# 2. Fuzzing: every harness for FUZZ_SECONDS from its seeds (new inputs go to
# a scratch directory, not to the committed corpus).
if want 2; then
  begin "libFuzzer harnesses, ${FUZZ_SECONDS} s each"
  CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz "${gen[@]}" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNEL_FUZZ=ON -DTARNEL_BUILD_PYTHON=OFF >/dev/null
  cmake --build build-fuzz -j "$JOBS"
  for src in tests/fuzz/*_fuzz.cc; do
    name=$(basename "$src" .cc)
    work=build-fuzz/scratch/$name
    mkdir -p "$work" build-fuzz/artifacts
    # Inputs that once broke a harness are kept beside its seeds.
    seeds=("tests/fuzz/corpus/$name")
    [ -d "tests/fuzz/regressions/$name" ] && seeds+=("tests/fuzz/regressions/$name")
    ASAN_OPTIONS=detect_leaks=1 "build-fuzz/$name" -max_total_time="$FUZZ_SECONDS" \
      -print_final_stats=1 -artifact_prefix="build-fuzz/artifacts/$name-" \
      "$work" "${seeds[@]}" 2>"build-fuzz/$name.log" ||
      { tail -40 "build-fuzz/$name.log"; exit 1; }
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "build-fuzz/$name.log")
    echo "$name: $runs executions in ${FUZZ_SECONDS} s"
  done
  end
fi

# 3 and 4 share one build: Release (-O3, as the wheel ships) with the
# constant-time marks, the C++ tests and the extension.
if want 3 || want 4 || want 5 || want 6; then
  cmake -S . -B build-ct "${gen[@]}" -DCMAKE_BUILD_TYPE=Release -DTARNEL_CT_CHECK=ON \
    -DTARNEL_BUILD_TESTS=ON -DTARNEL_BUILD_PYTHON=ON >/dev/null
  cmake --build build-ct -j "$JOBS"
fi

# 3. Constant time.
if want 3; then
  begin "constant-time check under valgrind (-O3 and -O2)"
  cmake -S . -B build-hard/ct-O2 "${gen[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DTARNEL_CT_CHECK=ON -DTARNEL_BUILD_PYTHON=OFF \
    >/dev/null
  cmake --build build-hard/ct-O2 -j "$JOBS" --target ct_check
  # Once per arithmetic path the processor can take (valgrind emulates AVX2
  # but not AVX-512, which the core does not use).
  paths=(sse2)
  [ "$(uname -m)" = x86_64 ] || paths=(portable)
  grep -qw avx2 /proc/cpuinfo && paths+=(avx2)
  for exe in build-ct/ct_check build-hard/ct-O2/ct_check; do
    for path in "${paths[@]}"; do
      echo "--- $exe $path"
      valgrind -q --error-exitcode=1 --track-origins=yes "$exe" "$path"
    done
  done
  end
fi

# 4. Memcheck of the C++ tests.
if want 4; then
  begin "valgrind memcheck of core_tests (filter: $MEMCHECK_FILTER)"
  valgrind -q --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    build-ct/core_tests --gtest_brief=1 --gtest_filter="$MEMCHECK_FILTER"
  end
fi

# 5. Leaks of the Python entry points.
if want 5; then
  begin "Python leak check, ${LEAK_ITERATIONS} calls per window"
  PYTHONPATH="$ROOT/build-ct/python" "$PY" tests/leaks/leak_check.py \
    --iterations "$LEAK_ITERATIONS"
  end
fi

# 6. atheris over the Python entry points.
if want 6; then
  begin "atheris: Python entry points, ${ATHERIS_RUNS} runs"
  mkdir -p build-ct/atheris
  PYTHONPATH="$ROOT/build-ct/python" "$PY" tests/fuzz/py_entrypoints_fuzz.py \
    -runs="$ATHERIS_RUNS" -print_final_stats=1 -artifact_prefix=build-ct/atheris/ \
    build-ct/atheris 2>build-ct/atheris.log || { tail -40 build-ct/atheris.log; exit 1; }
  grep -E "^stat::number_of_executed_units" build-ct/atheris.log
  end
fi
echo "hardening checks took $SECONDS s"
n_steps=$(wc -w <<<"$STEPS")
echo "hardening: $n_steps passed, 0 failed"
