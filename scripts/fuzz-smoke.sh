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
  -DVANTREL_BUILD_TESTS=ON -DVANTREL_BUILD_FUZZ=ON >/dev/null
cmake --build "$build" --target cstring256_fuzz -j "$(nproc)"
# Work on a copy so that the run does not add files to the repository's corpus.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$root/tests/fuzz/corpus/cstring256" "$work/corpus"
mkdir -p "$build/fuzz-artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
"$build/tests/fuzz/cstring256_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$build/fuzz-artifacts/" "$work/corpus"
