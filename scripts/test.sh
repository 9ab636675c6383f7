#!/usr/bin/env bash
# Builds the project with AddressSanitizer and UndefinedBehaviorSanitizer
# (warnings are errors) and runs the whole test suite inside a D-Bus session
# bus of its own. Full runs also pass the source gates (scripts/lint.sh) and
# the string library's fuzz smoke run. Each phase begins with a line that says
# what it does and how long the run has taken so far.
#   scripts/test.sh            everything; clang-tidy checks the product files
#                              changed since the branch left main
#   VANTREL_TIDY=all scripts/test.sh
#                              clang-tidy checks every product file (CI)
#   scripts/test.sh -R Pane    only tests matching a CTest regex
# A full run's ctest phase runs only the tests whose inputs changed since
# each last passed in this build directory (scripts/test_select.py);
# VANTREL_TEST_ALWAYS=1 runs them all.
# Compiles go through ccache when it is installed (scripts/build-cache.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VANTREL_TEST_BUILD_DIR:-$root/build-sanitize}
tidy=${VANTREL_TIDY:-changed}
case $tidy in
  changed | all) ;;
  *) echo "test.sh: VANTREL_TIDY is 'changed' (the default) or 'all'" >&2; exit 2 ;;
esac
full=0
[ $# -eq 0 ] && full=1

start=$SECONDS
phases=()
phase_name="" phase_start=$SECONDS
clock() { printf '%d:%02d' $(($1 / 60)) $(($1 % 60)); }
end_phase() {
  [ -n "$phase_name" ] && phases+=("$phase_name $(clock $((SECONDS - phase_start)))")
  phase_name=""
}
phase() {  # phase NAME WHAT...
  end_phase
  phase_name=$1
  phase_start=$SECONDS
  shift
  echo "test.sh [$(clock $((SECONDS - start)))] $phase_name: $*" >&2
}

# A phase that fails says so on the way out.
on_exit() {
  local rc=$?
  [ $rc -eq 0 ] || [ -z "$phase_name" ] ||
    echo "test.sh [$(clock $((SECONDS - start)))] $phase_name failed (exit status $rc)" >&2
}
trap on_exit EXIT

phase deps "the Debian packages (scripts/deps.sh)"
"$root/scripts/deps.sh"

# shellcheck source=scripts/build-cache.sh
. "$root/scripts/build-cache.sh"
phase configure "$build (Sanitize; ${vantrel_build_note[*]})"
gen=()
command -v ninja >/dev/null && [ ! -f "$build/CMakeCache.txt" ] && gen=(-G Ninja)
cmake -S "$root" -B "$build" "${gen[@]}" -DCMAKE_BUILD_TYPE=Sanitize -DVANTREL_BUILD_TESTS=ON \
  -DVANTREL_WERROR=ON -DVANTREL_BUILD_FUZZ="${VANTREL_BUILD_FUZZ:-OFF}" \
  "${vantrel_build_args[@]}" >/dev/null

# The source gates on full runs only; they need only the compile commands, so
# they come before the build and fail fast.
if ((full)); then
  phase format "every C and C++ file against .clang-format (scripts/lint.sh --format)"
  "$root/scripts/lint.sh" --format
  if [ "$tidy" = all ]; then
    phase clang-tidy "every product file (scripts/lint.sh --tidy)"
    VANTREL_LINT_BUILD_DIR=$build "$root/scripts/lint.sh" --tidy
  else
    phase clang-tidy "the product files changed since main (scripts/lint.sh --tidy-changed)"
    VANTREL_LINT_BUILD_DIR=$build "$root/scripts/lint.sh" --tidy-changed
  fi
fi

phase build "$build, $(nproc) jobs"
cmake --build "$build" -j "$(nproc)"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=1:handle_sigill=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
if ((full)) && command -v clang++ >/dev/null; then
  phase fuzz "the libFuzzer targets' smoke run (scripts/fuzz-smoke.sh)"
  "$root/scripts/fuzz-smoke.sh"
fi

cd "$build"
# A full run runs the tests whose inputs changed since each last passed
# here (scripts/test_select.py says what a test's inputs are);
# VANTREL_TEST_ALWAYS=1 (.ci/run) runs every one. A run given CTest
# arguments runs what they choose.
stamps=$build/test-stamps
selection=() chosen="" total=""
listed=$stamps/selected.$$
# Without python3 (scripts/deps.sh installs it) every test runs, unrecorded.
have_python=0
command -v python3 >/dev/null && have_python=1
((have_python)) &&
  read -r chosen total < <(python3 "$root/scripts/test_select.py" select "$build" "$root" "$listed") ||
  chosen=""
if ((full)) && [ -n "$chosen" ]; then
  selection=(-I "$listed")
  what="$chosen of the $total tests (the other $((total - chosen)) passed here on the inputs they have now)"
  [ "$chosen" = "$total" ] && what="the $total tests"
else
  what="$(ctest -N "$@" | sed -n 's/^Total Tests: //p') tests"
fi
# A test that keeps a core busy takes one of the machine's cores; the few
# that mostly wait (the build marks them) take one of two waiting places
# instead and run beside them. The longest start first, by the times of the
# last run.
cores=$(nproc)
printf '{"version": {"major": 1, "minor": 0}, "local": [{"cores": [{"id": "0", "slots": %d}], %s}]}\n' \
  "$cores" '"waits": [{"id": "0", "slots": 2}]' >"$build/ctest-cores.json"
status=0
if ((full)) && [ "$chosen" = 0 ]; then
  phase ctest "none of the $total tests: each passed on the inputs it has now (VANTREL_TEST_ALWAYS=1 runs them)"
else
  phase ctest "$what, $cores at a time and two that wait beside them, each case a process of its own"
  rm -f "$listed.xml"
  dbus-run-session -- ctest --output-on-failure -j $((cores + 2)) --resource-spec-file "$build/ctest-cores.json" \
    --timeout 900 --output-junit "$listed.xml" "${selection[@]}" "$@" || status=$?
  [ ! -f "$listed.xml" ] || ((!have_python)) || python3 "$root/scripts/test_select.py" record "$build" "$listed" "$listed.xml"
fi
rm -f "$listed" "$listed.json" "$listed.xml"
end_phase
verdict=passed
[ $status -eq 0 ] || verdict="FAILED (ctest exit status $status)"
printf -v summary '%s, ' "${phases[@]}"
echo "test.sh [$(clock $((SECONDS - start)))] done, $verdict: ${summary%, }" >&2
exit $status
