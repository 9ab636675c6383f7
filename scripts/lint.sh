#!/usr/bin/env bash
# The source gates: every C and C++ file of the tree is formatted as
# .clang-format says, and the product sources pass clang-tidy with
# .clang-tidy (any finding fails). Both are clang 14, pinned: another
# version formats and checks differently.
#   scripts/lint.sh                both gates, clang-tidy over every product file
#   scripts/lint.sh --format       the format gate only
#   scripts/lint.sh --tidy         the clang-tidy gate over every product file
#                                  (CI; about 3 CPU-minutes a hundred files)
#   scripts/lint.sh --tidy-changed the clang-tidy gate over the product files
#                                  changed since the branch left main (the
#                                  test command)
#   scripts/lint.sh --fix-format   reformat every drifting file in place
# clang-tidy reads the compile commands of a configured build:
# VANTREL_LINT_BUILD_DIR, by default build-sanitize (configured here when it
# is not). It prints a line as each file is done, and the findings. The tests
# are not linted: the compiler's warnings, errors in CI, cover them, and
# clang-tidy over their GoogleTest macros would more than double the gate's
# time for findings in code no user runs.
#
# What --tidy-changed checks: every product source that differs from the
# commit where HEAD left main (origin/main when there is no main), committed
# or not, and new files not yet added; for a changed header, every product
# source that includes it, directly or through other headers. A change to
# .clang-tidy, or to this script, checks every file.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mode=${1:-all}
case $mode in
  all | --format | --tidy | --tidy-changed | --fix-format) ;;
  *) echo "usage: scripts/lint.sh [--format | --tidy | --tidy-changed | --fix-format]" >&2; exit 2 ;;
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

if [ "$mode" = all ] || [ "$mode" = --tidy ] || [ "$mode" = --tidy-changed ]; then
  build=${VANTREL_LINT_BUILD_DIR:-$root/build-sanitize}
  if [ ! -f "$build/compile_commands.json" ]; then
    gen=()
    command -v ninja >/dev/null && [ ! -f "$build/CMakeCache.txt" ] && gen=(-G Ninja)
    cmake -S "$root" -B "$build" "${gen[@]}" -DCMAKE_BUILD_TYPE=Sanitize \
      -DVANTREL_BUILD_TESTS=ON >/dev/null
  fi
  # Test programs compile some product sources again with GoogleTest's
  # precompiled header, which is gcc's and which clang cannot read: the gate
  # reads the product's own compile commands only.
  db=$build/lint-db
  mkdir -p "$db"
  python3 - "$build/compile_commands.json" "$db/compile_commands.json" <<'PY'
import json, sys
entries = json.load(open(sys.argv[1]))
keep = [e for e in entries if "cmake_pch" not in e.get("command", " ".join(e.get("arguments", [])))]
json.dump(keep, open(sys.argv[2], "w"), indent=1)
PY
  # The product sources the compile commands hold, one per line.
  product='^(pane|strings|filemanager|platform|tools)/'
  mapfile -t all < <(python3 - "$db/compile_commands.json" "$root" "$product" <<'PY'
import json, os, re, sys
db, root, product = sys.argv[1], sys.argv[2], re.compile(sys.argv[3])
seen = set()
for e in json.load(open(db)):
    f = os.path.relpath(os.path.normpath(os.path.join(e["directory"], e["file"])), root)
    if product.search(f) and f not in seen:
        seen.add(f)
        print(f)
PY
  )
  files=("${all[@]}")
  what="every product file"
  if [ "$mode" = --tidy-changed ]; then
    base="" changed=() whole=0
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
      for b in main origin/main; do
        base=$(git merge-base HEAD "$b" 2>/dev/null) && break
      done
      if [ -z "$base" ]; then
        base=HEAD
        echo "lint: no main branch here: checking what differs from HEAD" >&2
      fi
      mapfile -t changed < <({ git diff --name-only "$base" --; git ls-files --others --exclude-standard; } | sort -u)
    else
      whole=1  # no history to compare with
    fi
    for f in "${changed[@]}"; do
      case $f in .clang-tidy | scripts/lint.sh) whole=1 ;; esac
    done
    if ((whole)); then
      what="every product file (.clang-tidy or the gate changed, or no history to compare with)"
    else
      # The changed product files, and for each changed header the sources
      # that include it, through other headers too.
      # The script is python's standard input: the names go as arguments,
      # the changed ones after the compiled ones and a "--".
      mapfile -t files < <(python3 - "$product" "${all[@]}" -- "${changed[@]}" <<'PY'
import os, re, sys
product = re.compile(sys.argv[1])
cut = sys.argv.index("--")
sources, changed = sys.argv[2:cut], sys.argv[cut + 1:]
changed = [f for f in changed if product.search(f) and os.path.isfile(f) and
           re.search(r"\.(c|cc|cpp|h|hpp)$", f)]
# Every product file and the names it includes ("fm/node.h" is known by its
# last components: node.h, fm/node.h).
include = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', re.M)
users = {}
for top in ("pane", "strings", "filemanager", "platform", "tools"):
    for d, _, names in os.walk(top):
        for n in names:
            if not re.search(r"\.(c|cc|cpp|h|hpp)$", n):
                continue
            p = os.path.join(d, n)
            try:
                text = open(p, errors="replace").read()
            except OSError:
                continue
            for inc in include.findall(text):
                users.setdefault(inc, set()).add(p)
def includers(path):
    parts = path.split("/")
    found = set()
    for k in range(1, len(parts) + 1):
        found |= users.get("/".join(parts[-k:]), set())
    return found
want, todo, done = set(), list(changed), set()
while todo:
    f = todo.pop()
    if f in done:
        continue
    done.add(f)
    if f in sources:
        want.add(f)
    todo.extend(includers(f) - done)
for f in sources:
    if f in want:
        print(f)
PY
      )
      what="${#files[@]} product file(s) changed since $(git rev-parse --short "$base"), or including a changed header"
    fi
  fi
  echo "lint: clang-tidy over $what" >&2
  tidy=0
  if ((${#files[@]})); then
    re=$(printf '%s' "$root" | sed 's/[][\\.^$*+?(){}|]/\\&/g')
    if [ "${#files[@]}" -eq "${#all[@]}" ]; then
      pattern="^$re/${product#^}"
    else
      pattern="^$re/($(printf '%s\n' "${files[@]}" | sed 's/[][\\.^$*+?(){}|]/\\&/g' | paste -sd'|'))\$"
    fi
    # run-clang-tidy prints the command of each file it has checked, then the
    # findings; clang-tidy also counts what it passed over (system headers,
    # NOLINT lines). Each command becomes a line of progress, the counts go,
    # and so do colours, which run-clang-tidy always asks for, where the
    # output is not a terminal.
    noise='^(clang-tidy-14 |[0-9]+ warnings? generated\.|Suppressed [0-9]+ warnings|Use -header-filter)'
    n=0 total=${#files[@]} t0=$SECONDS
    while IFS= read -r line; do
      [ -t 1 ] || line=$(sed 's/\x1b\[[0-9;]*m//g' <<<"$line")
      if [[ $line == "lint-status: "* ]]; then
        tidy=1
      elif [[ $line == "clang-tidy-14 "* ]]; then
        n=$((n + 1))
        printf 'lint: clang-tidy %d/%d %s (%d s)\n' "$n" "$total" "${line##* "$root"/}" $((SECONDS - t0)) >&2
      elif ! grep -Eq "$noise" <<<"$line"; then
        printf '%s\n' "$line"
      fi
    done < <(PYTHONUNBUFFERED=1 run-clang-tidy-14 -p "$db" -j "$(nproc)" -quiet "$pattern" 2>&1 ||
      echo "lint-status: $?")
  fi
  if [ $tidy -ne 0 ]; then
    echo "lint: clang-tidy findings above" >&2
    status=1
  fi
fi
exit $status
