#!/bin/sh
# Renaming and deleting 10,000 files with resource forks in sidecars against
# the same files without forks (bench/sidecar_bench.cpp), with repetitions in
# random order; prints the medians and the ratios (with forks / without), of
# real time and of the process's CPU time (steadier on a shared machine).
#
# usage: bench/sidecar_bench.sh [PROGRAM] [REPETITIONS]
#   PROGRAM      default build-release/bench/sidecar_bench (Release, -DVANTREL_BUILD_BENCH=ON)
#   REPETITIONS  default 5
# Environment: VANTREL_BENCH_DIR, where the files go (default /tmp).
set -eu
PROG=${1:-build-release/bench/sidecar_bench}
REPS=${2:-5}
command -v jq >/dev/null || { echo "sidecar_bench: jq is needed (apt-get install jq)" >&2; exit 2; }
[ -x "$PROG" ] || { echo "sidecar_bench: no program at $PROG" >&2; exit 2; }
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$PROG" --benchmark_repetitions="$REPS" --benchmark_enable_random_interleaving=true \
        --benchmark_format=json >"$out"
jq -r '
  [.benchmarks[] | select(.aggregate_name == "median")]
  | map({key: (.run_name | split("/")[0:2] | join("/")), value: {real: .real_time, cpu: .cpu_time}})
  | from_entries as $m
  | ["BM_Rename", "BM_Delete"][] as $op
  | $m["\($op)/forks:1"] as $w | $m["\($op)/forks:0"] as $wo
  | "\($op): with forks \($w.real | floor) ms (CPU \($w.cpu | floor) ms), without \($wo.real | floor) ms (CPU \($wo.cpu | floor) ms); ratio real \(($w.real / $wo.real) * 100 | round / 100), CPU \(($w.cpu / $wo.cpu) * 100 | round / 100)"' "$out"
