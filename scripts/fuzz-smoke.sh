#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan + coverage) in
# build-fuzz and runs each briefly on its seed corpus, as many at once as
# there are cores (each runs alone on one). Any difference from the reference
# model, crash or sanitizer report fails the run; the failing target's whole
# output is shown, the others' final statistics.
# A target whose program, the libraries of the build it loads, seed corpus,
# run time and this script are all as they were at its last passing run is
# not run again (a stamp per target in build-fuzz/fuzz-stamps): what a rerun
# of the test command after a change elsewhere would fuzz is what was fuzzed.
# A fresh build directory has no stamps; FUZZ_ALWAYS=1 (.ci/run) ignores them.
#   scripts/fuzz-smoke.sh              about 30 s per target
#   FUZZ_SECONDS=600 scripts/fuzz-smoke.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VANTREL_FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-30}
command -v clang++ >/dev/null || { echo "fuzz-smoke: clang++ not found, skipped" >&2; exit 0; }
# shellcheck source=scripts/build-cache.sh
. "$root/scripts/build-cache.sh"
gen=()
command -v ninja >/dev/null && [ ! -f "$build/CMakeCache.txt" ] && gen=(-G Ninja)
CC=clang CXX=clang++ cmake -S "$root" -B "$build" "${gen[@]}" -DCMAKE_BUILD_TYPE=Sanitize \
  -DVANTREL_BUILD_TESTS=ON -DVANTREL_BUILD_FUZZ=ON -DVANTREL_WERROR=ON \
  "${vantrel_build_args[@]}" >/dev/null
targets=(cstring256 fsref_codec appledouble utf)
cmake --build "$build" --target "${targets[@]/%/_fuzz}" -j "$(nproc)"
# Work on copies so that the runs do not add files to the repository's corpora.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/fuzz-artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
stamps=$build/fuzz-stamps
mkdir -p "$stamps"
# What a target's run depends on, hashed as the test selection hashes a
# test's program (scripts/test_select.py): see above.
inputs_hash() {  # inputs_hash TARGET
  python3 "$root/scripts/test_select.py" fingerprint "$build" "$build/tests/fuzz/${1}_fuzz" \
    "$root/tests/fuzz/corpus/$1" "$root/scripts/fuzz-smoke.sh" --salt "seconds $seconds"
}
declare -A hashes=()
run=()
for t in "${targets[@]}"; do
  hashes[$t]=$(inputs_hash "$t")
  if [ "${FUZZ_ALWAYS:-0}" != 1 ] && [ -f "$stamps/$t" ] && [ "$(cat "$stamps/$t")" = "${hashes[$t]}" ]; then
    echo "fuzz-smoke: $t skipped: its program, libraries and corpus are those of its last passing run" >&2
  else
    rm -f "$stamps/$t"
    run+=("$t")
  fi
done
((${#run[@]})) || { echo "fuzz-smoke: nothing to run (FUZZ_ALWAYS=1 runs every target)" >&2; exit 0; }
echo "fuzz-smoke: ${run[*]}, $seconds s each, up to $(nproc) at once" >&2
declare -A pids=()
status=0
finish() {  # finish TARGET STATUS
  if [ "$2" -eq 0 ]; then
    echo "${hashes[$1]}" >"$stamps/$1"
    echo "fuzz-smoke: $1 passed: $(grep -E '^stat::(number_of_executed_units|new_units_added)' \
      "$work/$1.log" | sed 's/^stat:://; s/: */ /' | tr '\n' ' ')" >&2
  else
    cat "$work/$1.log" >&2
    echo "fuzz-smoke: $1 FAILED (exit status $2; inputs in $build/fuzz-artifacts)" >&2
    status=1
  fi
}
reap() {  # waits for one run to end
  local pid t rc=0
  wait -n -p pid "${!pids[@]}" || rc=$?
  t=${pids[$pid]}
  unset "pids[$pid]"
  finish "$t" "$rc"
}
for t in "${run[@]}"; do
  ((${#pids[@]} < $(nproc))) || reap
  cp -r "$root/tests/fuzz/corpus/$t" "$work/$t"
  "$build/tests/fuzz/${t}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/fuzz-artifacts/$t-" "$work/$t" >"$work/$t.log" 2>&1 &
  pids[$!]=$t
done
while ((${#pids[@]})); do reap; done
exit $status
