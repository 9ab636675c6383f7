#!/usr/bin/env bash
# Installs the build into a staging prefix and uses it as another project
# would: a CMake project through find_package, a plain compiler line through
# pkg-config, and a third-party pane loaded by the installed host. Checks
# what each installed program and library loads.
#   install_test.sh BUILD_DIR SOURCE_DIR VERSION CXX SANITIZE(0|1)
set -euo pipefail
build=$1 src=$2 version=$3 cxx=$4 sanitize=$5
work=$build/install-test
rm -rf "$work"
mkdir -p "$work"
stage=$work/prefix
fail() { echo "install test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$stage" >/dev/null
libdir=$(cd "$stage" && ls -d lib*/ | head -1)
libdir=${libdir%/}
[ -f "$stage/$libdir/cmake/Vantrel/VantrelConfig.cmake" ] || fail "no VantrelConfig.cmake under $stage/$libdir"

# Everything in its place, the libraries versioned from project(VERSION).
for f in bin/fmutil bin/vantrel-prefs share/man/man1/fmutil.1 share/man/man1/vantrel-prefs.1 \
  share/bash-completion/completions/fmutil \
  include/vantrel/Files.h include/vantrel/CoreFoundation.h include/vantrel/FSUtilities.h \
  include/vantrel/CString256.h include/vantrel/StringUtils.h \
  "$libdir/vantrel/PreferencePanes/Vantrel.prefPane/Contents/Info.plist" \
  "$libdir/vantrel/PreferencePanes/Vantrel.prefPane/Contents/Linux/Vantrel.so" \
  "$libdir/vantrel/PreferencePanes/Vantrel.prefPane/Contents/Resources/VantrelPref.interface.plist" \
  "$libdir/cmake/Vantrel/VantrelConfigVersion.cmake"; do
  [ -e "$stage/$f" ] || fail "$f is not installed"
done
[ ! -e "$stage/include/vantrel/fault.h" ] || fail "the fault seam's header is installed"
major=${version%%.*}
for lib in core text cf cocoa files filemanager strings; do
  so=$stage/$libdir/libvantrel-$lib.so
  [ -f "$so.$version" ] || fail "libvantrel-$lib.so.$version is not installed"
  soname=$(readelf -d "$so.$version" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [ "$soname" = "libvantrel-$lib.so.$major" ] || fail "libvantrel-$lib's SONAME is '$soname'"
  pcv=$(PKG_CONFIG_PATH=$stage/$libdir/pkgconfig pkg-config --modversion "vantrel-$lib")
  [ "$pcv" = "$version" ] || fail "vantrel-$lib.pc says $pcv"
done
grep -q "PACKAGE_VERSION \"$version\"" "$stage/$libdir/cmake/Vantrel/VantrelConfigVersion.cmake" ||
  fail "the package config version file does not say $version"
[ "$("$stage/bin/fmutil" --version)" = "fmutil $version" ] || fail "fmutil --version"
[ "$("$stage/bin/vantrel-prefs" --version)" = "vantrel-prefs $version" ] || fail "vantrel-prefs --version"

# Each loads only what it uses: the installed programs find their libraries
# in the stage (not the build tree), and nothing for the File Manager or the
# strings pulls in property lists or D-Bus.
loads() { ldd "$1" | awk '{print $1}'; }
for f in bin/fmutil "$libdir/libvantrel-filemanager.so" "$libdir/libvantrel-files.so" \
  "$libdir/libvantrel-strings.so" "$libdir/libvantrel-text.so"; do
  l=$(loads "$stage/$f")
  if grep -Eq 'libplist|libsystemd|libvantrel-cf|libvantrel-cocoa' <<<"$l"; then
    fail "$f loads $(grep -E 'libplist|libsystemd|libvantrel-cf|libvantrel-cocoa' <<<"$l" | tr '\n' ' ')"
  fi
  if ldd "$stage/$f" | grep -q 'not found'; then fail "$f: $(ldd "$stage/$f" | grep 'not found')"; fi
done
loaded=$(ldd "$stage/bin/fmutil" | awk '$1 == "libvantrel-files.so.1" {print $3}')
[ "$(realpath "$loaded")" = "$(realpath "$stage/$libdir/libvantrel-files.so.1")" ] ||
  fail "the installed fmutil loads $loaded, not the installed File Manager"
if loads "$stage/$libdir/libvantrel-core.so" | grep -q 'libicu'; then fail "libvantrel-core loads ICU"; fi

# The consumers are small: built without instrumentation, but when the
# installed libraries are sanitizer builds their runtimes must come first in
# the program, so it is linked with them.
san_link=""
[ "$sanitize" = 1 ] && san_link="-fsanitize=address,undefined"
scratch=$work/scratch
mkdir -p "$scratch/home"
export HOME=$scratch/home XDG_CONFIG_HOME=$scratch/home/.config

# 1. CMake: find_package(Vantrel), then Finder info on a scratch file.
cmake -S "$src/tests/install/cmake-consumer" -B "$work/cmake-consumer" -G Ninja \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$stage" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_EXE_LINKER_FLAGS="$san_link" >/dev/null
cmake --build "$work/cmake-consumer" -j2 >/dev/null
: >"$scratch/notes.txt"
out=$("$work/cmake-consumer/finder_info" "$scratch/notes.txt")
[ "$out" = "TEXT ttxt 0800" ] || fail "finder_info printed '$out'"
# Another program of the installation reads what the consumer wrote.
"$stage/bin/fmutil" info "$scratch/notes.txt" | grep -q "TEXT" || fail "fmutil info does not see the type"

# 2. A plain compiler line and pkg-config: match names with the strings.
export PKG_CONFIG_PATH=$stage/$libdir/pkgconfig
read -r -a flags <<<"$(pkg-config --cflags --libs vantrel-strings)"
"$cxx" -std=c++20 -o "$work/match_names" "$src/tests/install/pkgconfig-consumer/match_names.cpp" \
  "${flags[@]}" -Wl,-rpath,"$(pkg-config --variable=libdir vantrel-strings)" $san_link
out=$("$work/match_names" 'rep*.txt' report.txt notes.txt REPORT.TXT reply.doc 'rep.txt')
[ "$out" = $'report.txt\nREPORT.TXT\nrep.txt' ] || fail "match_names printed '$out'"

# 3. A pane of one's own, built against the installed SDK, shown by the
# installed host with --bundle.
cmake -S "$src/docs/examples/pane" -B "$work/pane" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_PREFIX_PATH="$stage" -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$work/pane" -j2 >/dev/null
prefs=$stage/bin/vantrel-prefs
out=$("$prefs" --bundle "$work/pane/Greeting.prefPane" --list)
[ "$out" = $'[ ] Greet at Login\nGreeting 1.2' ] || fail "the example pane lists '$out'"
out=$("$prefs" --bundle "$work/pane/Greeting.prefPane" --click "Greet at Login")
"$prefs" --bundle "$work/pane/Greeting.prefPane" --list | grep -qx '\[x\] Greet at Login' ||
  fail "the example pane's click was not kept ($out)"

# The installed host's default pane: the one installed beside it, unless the
# user has one in ~/.local/share/vantrel/PreferencePanes.
"$prefs" --list | grep -qx "Vantrel ${version%.*}" || fail "the installed host's default is not the installed pane"
mine=$HOME/.local/share/vantrel/PreferencePanes/Vantrel.prefPane
mkdir -p "${mine%/*}"
# Not a bundle where the user's would be (a FIFO would block a reader; a
# dangling link), or no usable HOME: the installed pane.
for odd in fifo dangling; do
  case $odd in
    fifo) mkfifo "$mine" ;;
    dangling) ln -s "$scratch/nowhere" "$mine" ;;
  esac
  "$prefs" --list | grep -qx "Vantrel ${version%.*}" || fail "with a $odd for the user's pane"
  rm -f "$mine"
done
for home in "" "relative/home"; do
  HOME=$home "$prefs" --list | grep -qx "Vantrel ${version%.*}" || fail "with HOME='$home'"
done
cp -r "$work/pane/Greeting.prefPane" "$mine"
"$prefs" --list | grep -qx '\[x\] Greet at Login' || fail "the user's own pane is not preferred"
# Started through a link elsewhere, the host still finds what is beside it.
ln -s "$prefs" "$scratch/vp"
rm -rf "$mine"
"$scratch/vp" --list | grep -qx "Vantrel ${version%.*}" || fail "started through a symbolic link"
echo "install test: staged install, two consumers and a pane: all as expected"
