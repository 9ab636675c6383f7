#!/usr/bin/env bash
# Builds the project with AddressSanitizer and UndefinedBehaviorSanitizer
# (warnings are errors) and runs the whole test suite inside a D-Bus session
# bus of its own. Full runs also pass the source gates (scripts/lint.sh) and
# the string library's fuzz smoke run.
#   scripts/test.sh            everything
#   scripts/test.sh -R Pane    only tests matching a CTest regex
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
build=${VANTREL_TEST_BUILD_DIR:-$root/build-sanitize}
gen=()
command -v ninja >/dev/null && [ ! -f "$build/CMakeCache.txt" ] && gen=(-G Ninja)
cmake -S "$root" -B "$build" "${gen[@]}" -DCMAKE_BUILD_TYPE=Sanitize -DVANTREL_BUILD_TESTS=ON \
  -DVANTREL_WERROR=ON -DVANTREL_BUILD_FUZZ=${VANTREL_BUILD_FUZZ:-OFF} >/dev/null
# The source gates (format, clang-tidy) on full runs only; they need only the
# compile commands, so they come before the build and fail fast.
[ $# -eq 0 ] && VANTREL_LINT_BUILD_DIR=$build "$root/scripts/lint.sh"
cmake --build "$build" -j "$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$build"
[ $# -eq 0 ] && command -v clang++ >/dev/null && "$root/scripts/fuzz-smoke.sh"  # string library fuzz smoke run, full runs only
exec dbus-run-session -- ctest --output-on-failure -j "$(nproc)" --timeout 900 "$@"
