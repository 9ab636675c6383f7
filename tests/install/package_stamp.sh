#!/usr/bin/env bash
# Prints the hash of what the Debian packages would expose if they were built
# from SOURCE_DIR and BUILD_DIR now; the package test keeps it as its stamp and
# passes over a run whose hash equals that of its last passing one. Exits 1
# with no output outside a git checkout, or when the build holds none of the
# packages' programs and libraries yet.
#   package_stamp.sh BUILD_DIR SOURCE_DIR
#
# The package test's job is packaging, symbols and installability, and none
# of these reads the inside of a function, so the hash covers:
# - every file of the checkout but the C and C++ sources that are compiled
#   and not shipped (debian/, the CMake install rules and templates, public
#   headers, the example programs, man page sources, desktop files, the
#   package test's own files, the scripts);
# - of each program and library the packages hold, as the build directory
#   has built them: its SONAME and NEEDED, the dynamic symbols it exports
#   (the symbols files are checked against these) and those it imports with
#   their versions (dpkg-shlibdeps makes the Depends from these and from
#   NEEDED), leaving out the sanitizers' own;
# - fmutil's and vantrel-prefs' --version and --help, and the man page made
#   from fmutil's;
# - the versions of the Debian tools that build and check the packages.
# A change inside a function alters none of these; what such a change does
# is the rest of the suite's to check, on the same build.
# Not -e: a program with no NEEDED, or one whose --help fails, is hashed as
# it is.
set -uo pipefail
export LC_ALL=C
build=$1 src=$2
work=$build/package-test
cache=${VANTREL_PACKAGE_CACHE:-$build/package-test-cache}

# The install test's staged prefix holds copies of the same files, made or
# half made as that test runs, beside or before the package test: left out.
exposed_files() {  # what the build directory holds of the packages' programs and libraries
  find "$build" \( -path "$work" -o -path "$cache" -o -path "$build/install-test" \) -prune \
    -o -type f \
    \( -name 'libvantrel-*.so.*' -o -name 'vantrel-prefs-gtk.so' -o -path '*.prefPane/*' \
    -o -name fmutil -o -name vantrel-prefs \) -print | sort
}
elf_exposure() {  # FILE: what a package built from it shows of it
  readelf -d "$1" | grep -E '\((SONAME|NEEDED)\)' | sed 's/^ *0x[0-9a-f]* *//'
  nm -D --defined-only "$1" | cut -c18- | sort
  nm -D --undefined-only "$1" | sed 's/^ *//' | grep -Ev ' (__asan|__ubsan|__lsan|__sanitizer)' |
    sort
}

git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1 || exit 1
files=() programs=()
mapfile -d '' -t files < <(git -C "$src" ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do
    case $f in
      tests/install/* | docs/examples/* | */include/* | */include-test/*) ;;
      *.c | *.cc | *.cpp | *.h | *.hpp) continue ;;
    esac
    [ -f "$src/$f" ] && printf '%s\0' "$f"
  done | sort -z)
mapfile -t programs < <(exposed_files)
[ ${#programs[@]} -gt 0 ] || exit 1
{
  dpkg-query -W dpkg-dev debhelper lintian debootstrap apt
  (cd "$src" && stat -c '%a %n' -- "${files[@]}" && sha256sum -- "${files[@]}")
  for f in "${programs[@]}"; do
    echo "== ${f#"$build"/}"
    [ "$(head -c 4 "$f" | tail -c 3)" = ELF ] || { sha256sum <"$f"; continue; }
    elf_exposure "$f"
    case $f in
      */fmutil | */vantrel-prefs)
        ASAN_OPTIONS=detect_leaks=0 "$f" --version 2>&1
        ASAN_OPTIONS=detect_leaks=0 "$f" --help 2>&1
        ;;
    esac
  done
  find "$build" \( -path "$work" -o -path "$cache" \) -prune -o -type f -name fmutil.1 -print |
    sort | xargs -r sha256sum | cut -d' ' -f1
} | sha256sum | cut -d' ' -f1
