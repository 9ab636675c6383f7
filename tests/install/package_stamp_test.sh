#!/usr/bin/env bash
# The package test's stamp on a checkout and a build directory of its own
# making: a library and an fmutil built here with the compiler given, a
# compiled source, a public header, a file of debian/. Each row changes one
# thing in a fresh copy of both and says whether the package test must run
# again (the hash changes) or may be passed over (it does not). A stamp that
# hashed every source byte reruns the package test on every change; one that
# left out a symbol, a header or --help passes over a change it must see.
#   package_stamp_test.sh SOURCE_DIR CXX
set -euo pipefail
export LC_ALL=C
src=$1 cxx=$2
stamp_of() { "$src/tests/install/package_stamp.sh" "$1/build" "$1/src"; }
tmp=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-stamp.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

# The library's source: what `body` returns and the functions it exports.
lib() {  # DIR BODY [EXTRA...]
  local dir=$1 body=$2
  shift 2
  {
    echo "extern \"C\" int vantrel_one(int x) { return $body; }"
    for f in "$@"; do echo "extern \"C\" int $f() { return 2; }"; done
  } >"$dir/src/platform/src/one.cpp"
  "$cxx" -x c++ -shared -fPIC -Wl,-soname,libvantrel-one.so.1 \
    -o "$dir/build/platform/libvantrel-one.so.1.0.0" "$dir/src/platform/src/one.cpp"
}
fmutil() {  # DIR HELP
  printf '#include <cstdio>\n#include <cstring>\n// the tool\n' >"$1/src/tools/fmutil/main.cpp"
  printf 'int main(int c, char** v) { std::puts(c > 1 && !std::strcmp(v[1], "--help") ? "%s" : "1.0"); }\n' \
    "$2" >>"$1/src/tools/fmutil/main.cpp"
  "$cxx" -x c++ -o "$1/build/tools/fmutil/fmutil" "$1/src/tools/fmutil/main.cpp"
}

base=$tmp/base
mkdir -p "$base"/src/{debian,platform/src,platform/include/vantrel,tools/fmutil} \
  "$base"/build/{platform,tools/fmutil}
echo "Package: fmutil" >"$base/src/debian/control"
echo "int vantrel_one(int);" >"$base/src/platform/include/vantrel/One.h"
lib "$base" "x + 1"
fmutil "$base" "usage: fmutil COMMAND"
git -C "$base/src" init -q
git -C "$base/src" add -A
# A file in the build directory a change to which the stamp must not see.
mkdir -p "$base/build/install-test/lib"
echo staged >"$base/build/install-test/lib/libvantrel-one.so.1.0.0"
want=$(stamp_of "$base")
[ -n "$want" ] || { echo "no hash for the base checkout" >&2; exit 1; }

failures=0 n=0
row() {  # WHAT same|different COMMAND...: COMMAND runs in a fresh copy of the base
  local what=$1 expect=$2 d got
  shift 2
  n=$((n + 1))
  d=$tmp/row$n
  cp -a "$base" "$d"
  (cd "$d" && eval "$*") || { echo "FAIL $what: could not make the change" >&2; failures=$((failures + 1)); return; }
  got=$(stamp_of "$d" || true)
  local saw=same
  [ "$got" = "$want" ] || saw=different
  if [ -z "$got" ] || [ "$saw" != "$expect" ]; then
    echo "FAIL $what: the hash is $saw (${got:-none}); it must be $expect" >&2
    failures=$((failures + 1))
  else
    echo "ok   $what: the hash is $saw"
  fi
}
row "an unchanged copy elsewhere" same true
row "a comment in a compiled source" same 'sed -i "s|// the tool|// the tool, said otherwise|" src/tools/fmutil/main.cpp'
row "the inside of an exported function, rebuilt" same 'lib . "x + 2"'
row "the install test's staged copy" same 'echo other >build/install-test/lib/libvantrel-one.so.1.0.0'
row "a new exported function" different 'lib . "x + 1" vantrel_two'
row "the library's SONAME" different \
  '"$cxx" -x c++ -shared -fPIC -Wl,-soname,libvantrel-one.so.2 -o build/platform/libvantrel-one.so.1.0.0 src/platform/src/one.cpp'
row "fmutil --help" different 'fmutil . "usage: fmutil [OPTION] COMMAND"'
row "a public header" different 'echo "int vantrel_two(void);" >>src/platform/include/vantrel/One.h'
row "debian/control" different 'echo "Section: utils" >>src/debian/control'
row "a new untracked file beside the sources" different 'echo x >src/debian/fmutil.links'
row "a file's mode" different 'chmod +x src/debian/control'
[ "$failures" -eq 0 ] || { echo "$failures of $n rows failed" >&2; exit 1; }
echo "all $n rows as expected"
