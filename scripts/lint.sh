#!/usr/bin/env bash
# The source gates: every C and C++ file of the tree is formatted as
# .clang-format says, and the product sources pass clang-tidy with
# .clang-tidy (any finding fails). Both are clang 14, pinned: another
# version formats and checks differently.
#   scripts/lint.sh               both gates (the test command runs this)
#   scripts/lint.sh --format      the format gate only
#   scripts/lint.sh --tidy        the clang-tidy gate only
#   scripts/lint.sh --fix-format  reformat every drifting file in place
# clang-tidy reads the compile commands of a configured build:
# VANTREL_LINT_BUILD_DIR, by default build-sanitize (configured here when it
# is not). The tests are not linted: the compiler's warnings, errors in CI,
# cover them, and clang-tidy over their GoogleTest macros would more than
# double the gate's time for findings in code no user runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mode=${1:-all}
case $mode in
  all | --format | --tidy | --fix-format) ;;
  *) echo "usage: scripts/lint.sh [--format | --tidy | --fix-format]" >&2; exit 2 ;;
esac

# Every C and C++ source and header: the files git tracks (a fresh clone's),
# or, outside a checkout, every such file but the build directories'.
sources() {
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z -- '*.c' '*.cc' '*.cpp' '*.h' '*.hpp'
  else
    find . \( -name 'build*' -o -name '.git' \) -prune -o -type f \
      \( -name '*.c' -o -name '*.cc' -o -name '*.cpp' -o -name '*.h' -o -name '*.hpp' \) \
      -printf '%P\0'
  fi
}

if [ "$mode" = --fix-format ]; then
  sources | xargs -0 clang-format-14 -i --style=file
  exit 0
fi

status=0
if [ "$mode" = all ] || [ "$mode" = --format ]; then
  echo "lint: clang-format" >&2
  if ! sources | xargs -0 clang-format-14 --dry-run -Werror --style=file; then
    echo "lint: files above drift from .clang-format; scripts/lint.sh --fix-format reformats them" >&2
    status=1
  fi
fi

if [ "$mode" = all ] || [ "$mode" = --tidy ]; then
  build=${VANTREL_LINT_BUILD_DIR:-$root/build-sanitize}
  if [ ! -f "$build/compile_commands.json" ]; then
    gen=()
    command -v ninja >/dev/null && [ ! -f "$build/CMakeCache.txt" ] && gen=(-G Ninja)
    cmake -S "$root" -B "$build" "${gen[@]}" -DCMAKE_BUILD_TYPE=Sanitize \
      -DVANTREL_BUILD_TESTS=ON >/dev/null
  fi
  echo "lint: clang-tidy over the product sources" >&2
  # run-clang-tidy prints each command it runs, and clang-tidy counts what it
  # passed over (system headers, NOLINT lines); only the findings matter.
  log=$(mktemp)
  trap 'rm -f "$log"' EXIT
  re=$(printf '%s' "$root" | sed 's/[][\\.^$*+?(){}|]/\\&/g')
  tidy=0
  run-clang-tidy-14 -p "$build" -j "$(nproc)" -quiet \
    "^$re/(pane|strings|filemanager|platform|tools)/" >"$log" 2>&1 || tidy=$?
  # It also always asks for colours; a log that is not a terminal gets none.
  noise='^(clang-tidy-14 |[0-9]+ warnings? generated\.|Suppressed [0-9]+ warnings|Use -header-filter)'
  if [ -t 1 ]; then
    grep -Ev "$noise" "$log" || true
  else
    sed 's/\x1b\[[0-9;]*m//g' "$log" | grep -Ev "$noise" || true
  fi
  if [ $tidy -ne 0 ]; then
    echo "lint: clang-tidy findings above" >&2
    status=1
  fi
fi
exit $status
