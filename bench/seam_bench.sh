#!/usr/bin/env bash
# The fault seam's cost in a release build: bench/seam_bench from the default
# build against the same program built with VANTREL_UNTESTABLE (every check
# compiled to nothing), run in turn ROUNDS times; prints the median CPU time
# per call of each and their ratio (default / untestable; 1.00 = no cost).
#   bench/seam_bench.sh BUILD_DEFAULT BUILD_UNTESTABLE [ROUNDS]
set -euo pipefail
with=${1:?default build directory}
without=${2:?untestable build directory}
rounds=${3:-7}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for ((i = 0; i < rounds; ++i)); do
  "$with/bench/seam_bench" --benchmark_format=json >"$out/with.$i.json"
  "$without/bench/seam_bench" --benchmark_format=json >"$out/without.$i.json"
done
python3 - "$out" "$rounds" <<'EOF'
import json, statistics, sys
out, rounds = sys.argv[1], int(sys.argv[2])
def load(kind):
    runs = {}
    for i in range(rounds):
        for b in json.load(open(f"{out}/{kind}.{i}.json"))["benchmarks"]:
            runs.setdefault(b["name"], []).append((b["cpu_time"], b["time_unit"]))
    return runs
w, wo = load("with"), load("without")
print(f"{'benchmark':24} {'default':>14} {'untestable':>14} {'ratio':>7}   ({rounds} rounds, median CPU time)")
for name in w:
    a = statistics.median(t for t, _ in w[name])
    b = statistics.median(t for t, _ in wo[name])
    unit = w[name][0][1]
    print(f"{name:24} {a:11.1f} {unit:2} {b:11.1f} {unit:2} {a / b:7.3f}")
EOF
