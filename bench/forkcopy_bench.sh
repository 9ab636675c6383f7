#!/bin/sh
# FSCopyFork (256 MiB, 1 MiB buffer; a data fork and a resource fork) against dd with direct I/O and against
# cp, interleaved in one run; prints the medians and the ratios
# (ours / peer: below 1 means FSCopyFork is faster), of wall time and of the
# copying process's CPU time (the machine may be shared: CPU time is steadier).
#
# usage: bench/forkcopy_bench.sh [PROGRAM] [REPETITIONS]
#   PROGRAM      default build-bench/bench/forkcopy_bench (Release, -DVANTREL_BUILD_BENCH=ON)
#   REPETITIONS  default 7
# Environment: VANTREL_BENCH_DIR, where the two 256 MiB files go (default /tmp).
set -eu
PROG=${1:-build-bench/bench/forkcopy_bench}
REPS=${2:-7}
command -v jq >/dev/null || { echo "forkcopy_bench: jq is needed (apt-get install jq)" >&2; exit 2; }
[ -x "$PROG" ] || { echo "forkcopy_bench: no program at $PROG" >&2; exit 2; }
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$PROG" --benchmark_repetitions="$REPS" --benchmark_enable_random_interleaving=true \
        --benchmark_format=json >"$out"
jq -r '
  [.benchmarks[] | select(.aggregate_name == "median")] as $m
  | ($m | map({key: (.run_name | split("/")[0]), value: .real_time}) | from_entries) as $t
  | ($m | map({key: (.run_name | split("/")[0]), value: .cpu_ms}) | from_entries) as $c
  | "median FSCopyFork \($t.BM_FSCopyFork | floor) ms, resource fork \($t.BM_FSCopyResourceFork | floor) ms, dd direct \($t.BM_DdDirect | floor) ms, cp \($t.BM_Cp | floor) ms",
    "median CPU (user + system of the copying process) FSCopyFork \($c.BM_FSCopyFork | floor) ms, resource fork \($c.BM_FSCopyResourceFork | floor) ms, dd direct \($c.BM_DdDirect | floor) ms, cp \($c.BM_Cp | floor) ms",
    "CPU ratio FSCopyFork(resource)/dd_direct \(($c.BM_FSCopyResourceFork / $c.BM_DdDirect) * 100 | round / 100)",
    "ratio FSCopyFork/dd_direct \(($t.BM_FSCopyFork / $t.BM_DdDirect) * 100 | round / 100)",
    "ratio FSCopyFork(resource)/dd_direct \(($t.BM_FSCopyResourceFork / $t.BM_DdDirect) * 100 | round / 100)",
    "ratio FSCopyFork/cp \(($t.BM_FSCopyFork / $t.BM_Cp) * 100 | round / 100)"' "$out"
