#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan + coverage) in
# build-fuzz and runs each briefly on its seed corpus. Any difference from the
# reference model, crash or sanitizer report fails the run.
#   scripts/fuzz-smoke.sh              about 30 s per target
#   FUZZ_SECONDS=600 scripts/fuzz-smoke.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VANTREL_FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-30}
command -v clang++ >/dev/null || { echo "fuzz-smoke: clang++ not found, skipped" >&2; exit 0; }
gen=()
command -v ninja >/dev/null && [ ! -f "$build/CMakeCache.txt" ] && gen=(-G Ninja)
CC=clang CXX=clang++ cmake -S "$root" -B "$build" "${gen[@]}" -DCMAKE_BUILD_TYPE=Sanitize \
  -DVANTREL_BUILD_TESTS=ON -DVANTREL_BUILD_FUZZ=ON -DVANTREL_WERROR=ON >/dev/null
targets=(cstring256 fsref_codec appledouble)
cmake --build "$build" --target "${targets[@]/%/_fuzz}" -j "$(nproc)"
# Work on copies so that the runs do not add files to the repository's corpora.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/fuzz-artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for t in "${targets[@]}"; do
  cp -r "$root/tests/fuzz/corpus/$t" "$work/$t"
  "$build/tests/fuzz/${t}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/fuzz-artifacts/" "$work/$t"
done
