#!/usr/bin/env bash
# Where an ML-KEM operation of the core spends its work: OpenSSL's Keccak
# (SHA3-256, SHA3-512, SHAKE128, SHAKE256 in libcrypto) against the core's own
# arithmetic (NTT, sampling, CBD, encodings, compression), per operation and
# level, from the bench_mlkem benchmark.
#
#   bench/profile_core.sh [BUILD_DIR]              # callgrind: instructions
#   TOOL=perf bench/profile_core.sh [BUILD_DIR]    # perf: sampled cycles
#
# BUILD_DIR (default: build) must hold bench_mlkem, built with
# -DTARNEL_BUILD_BENCH=ON in Release. Callgrind counts only the benchmark's
# timed loop (its first iteration fetches the OpenSSL algorithms once, well
# under 1% of the count); its figures are instructions, steady under load.
# perf samples cycles of the whole run, set-up included, and needs a quiet
# machine. The report is printed and written to bench/results/profile_core.txt.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-build}"
tool="${TOOL:-callgrind}"
bin="$build/bench_mlkem"
[ -x "$bin" ] || { echo "no $bin: configure with -DTARNEL_BUILD_BENCH=ON and build" >&2; exit 2; }
out="$here/results"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

# summarize reads "Ir-or-percent <TAB> function <TAB> object" lines and prints
# the shares per group and the hottest functions of the core. perf cannot
# name libcrypto's internal functions (Debian strips them), so only callgrind
# singles out the permutation, the one function that dominates the library.
summarize() {
  python3 -c '
import sys
show_top = sys.argv[1] == "callgrind"
from collections import defaultdict
def strip_args(fn):
    # "void core::f<1u>(int)" -> "core::f<1u>": drop the return type and the
    # final parameter list, keeping "(anonymous namespace)" inside the name.
    if fn.startswith("void "):
        fn = fn[5:]
    depth = 0
    for i in range(len(fn) - 1, -1, -1):
        depth += {")": 1, "(": -1}.get(fn[i], 0)
        if depth == 0 and fn[i] == "(":
            return fn[:i]
    return fn

groups, core_fns, total, top_crypto = defaultdict(float), defaultdict(float), 0.0, (0.0, "")
for line in sys.stdin:
    cost, fn, obj = line.rstrip("\n").split("\t")
    fn = fn.rstrip(" -")  # perf pads with empty IPC columns
    cost = float(cost)
    total += cost
    if "libcrypto" in obj:
        groups["OpenSSL libcrypto (Keccak and its EVP calls)"] += cost
        if cost > top_crypto[0]:
            top_crypto = (cost, fn)
    elif "bench_mlkem" in obj:
        name = strip_args(fn.strip())
        if name.startswith("core::") and "digest" not in name:
            groups["core arithmetic (NTT, sampling, CBD, encodings)"] += cost
            core_fns[name] += cost
        elif name.startswith("core::"):
            groups["core hash wrappers"] += cost
        else:
            groups["benchmark loop"] += cost
    elif "libc" in obj:
        groups["libc (malloc, memcpy, memset)"] += cost
    else:
        groups["other (" + obj.rsplit("/", 1)[-1] + ")"] += cost
if total == 0:
    sys.exit("nothing measured")
for g, c in sorted(groups.items(), key=lambda kv: -kv[1]):
    if 100 * c / total < 0.05:
        continue
    print(f"    {100 * c / total:5.1f}%  {g}")
if show_top:
    print(f"    {100 * top_crypto[0] / total:5.1f}%  of it the hottest libcrypto function ({top_crypto[1]}), "
          "the Keccak-f[1600] permutation")
print("    hottest core functions:")
for f, c in sorted(core_fns.items(), key=lambda kv: -kv[1])[:6]:
    print(f"      {100 * c / total:5.1f}%  {f}")
' "$tool"
}

profile_callgrind() {
  local name="$1" level="$2" file="$work/cg.$1.$2"
  valgrind --tool=callgrind --callgrind-out-file="$file" --toggle-collect="*BM_${name}(*" \
    "$bin" --benchmark_filter="^BM_${name}/${level}\$" --benchmark_min_time=0.3 >/dev/null 2>&1
  # Lines: "  1,234 (12.3%)  file:function [object]"
  callgrind_annotate --inclusive=no --threshold=100 "$file" |
    sed -n 's/^ *\([0-9,]*\) ([ 0-9.]*%)  [^:]*:\(.*\) \[\(.*\)\]$/\1\t\2\t\3/p' |
    tr -d ',' | summarize
}

profile_perf() {
  local name="$1" level="$2" file="$work/perf.$1.$2"
  perf record -q -o "$file" -- "$bin" --benchmark_filter="^BM_${name}/${level}\$" \
    --benchmark_min_time=1 >/dev/null 2>&1
  # Lines: "  12.34%  object  [.] symbol"
  perf report -i "$file" --stdio --no-children --sort dso,symbol -F overhead,dso,sym 2>/dev/null |
    sed -n 's/^ *\([0-9.]*\)%  *\([^ ]*\)  *\[.\] \(.*\)$/\1\t\3\t\2/p' | summarize
}

{
  echo "ML-KEM core profile ($tool, $(date -u +%Y-%m-%dT%H:%MZ), $(nproc) cpus, load $(cut -d' ' -f1-3 /proc/loadavg))"
  for level in 0 1 2; do
    for op in KeyGen Encaps Decaps; do
      echo "ML-KEM-$((512 + 256 * level)) $op:"
      "profile_$tool" "$op" "$level"
    done
  done
} | tee "$out/profile_core.txt"
