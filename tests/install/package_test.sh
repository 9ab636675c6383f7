#!/usr/bin/env bash
# Builds the Debian package with CPack and checks it: its dependencies come
# from dpkg-shlibdeps, and unpacked into a scratch root it holds the
# libraries, headers, both programs, their man pages and the pane.
#   package_test.sh BUILD_DIR VERSION
set -euo pipefail
build=$1 version=$2
work=$build/package-test
rm -rf "$work"
mkdir -p "$work/root"
fail() { echo "package test: $*" >&2; exit 1; }
command -v dpkg-shlibdeps >/dev/null || { echo "dpkg-shlibdeps missing (dpkg-dev)"; exit 77; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
deb=$(ls "$work"/*.deb)
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version $(dpkg-deb -f "$deb" Version)"
depends=$(dpkg-deb -f "$deb" Depends)
# What the libraries load, found by dpkg-shlibdeps, not written by hand.
for p in libicu libsystemd0 libstdc++6 libc6; do
  grep -q "$p" <<<"$depends" || fail "Depends lacks $p: $depends"
done
grep -q 'libplist' <<<"$depends" && fail "Depends names libplist, which only the tests use: $depends"

contents=$(dpkg --contents "$deb" | awk '{print $NF}')
dpkg -x "$deb" "$work/root"
libdir=$(cd "$work/root/usr" && ls -d lib*/ | head -1)
for f in "usr/bin/fmutil" "usr/bin/vantrel-prefs" "usr/share/man/man1/fmutil.1" \
  "usr/share/man/man1/vantrel-prefs.1" "usr/include/vantrel/Files.h" \
  "usr/include/vantrel/FSUtilities.h" "usr/include/vantrel/CString256.h" \
  "usr/${libdir}libvantrel-filemanager.so.$version" "usr/${libdir}libvantrel-strings.so.$version" \
  "usr/${libdir}libvantrel-cf.so.$version" "usr/${libdir}pkgconfig/vantrel-strings.pc" \
  "usr/${libdir}cmake/Vantrel/VantrelConfig.cmake" \
  "usr/${libdir}vantrel/PreferencePanes/Vantrel.prefPane/Contents/Linux/Vantrel.so"; do
  grep -q "^\./$f\$" <<<"$contents" || fail "dpkg --contents does not list $f"
  [ -e "$work/root/$f" ] || fail "$f is not in the unpacked package"
done
# The unpacked programs run from the scratch root, finding their own libraries.
[ "$("$work/root/usr/bin/fmutil" --version)" = "fmutil $version" ] || fail "unpacked fmutil does not run"
echo "package test: $(basename "$deb"), Depends: $depends"
