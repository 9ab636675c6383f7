#!/usr/bin/env bash
# Runs inside the throwaway Debian 12 root that package_test.sh makes: the
# packages are in /tmp/debs, this script and the consumers in /tmp/src.
# Installs as an administrator would (apt-get install ./PACKAGE.deb), in three
# steps, uses what each brought, then removes and purges everything.
#   package_in_root.sh VERSION ARCH
set -euo pipefail
version=$1 arch=$2
fail() { echo "in the root: $*" >&2; exit 1; }
installed() { dpkg-query -W -f '${db:Status-Abbrev} ${Package}\n' | awk '$1 == "ii" {print $2}' | sort; }
apt_install() {
  apt-get install -y "$@" >/tmp/apt.log 2>&1 || { cat /tmp/apt.log >&2; fail "apt-get install $*"; }
}
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
ours="fmutil libvantrel-cf1 libvantrel-cocoa1 libvantrel-core1 libvantrel-dev libvantrel-filemanager1"
ours+=" libvantrel-files1 libvantrel-strings1 libvantrel-text1 vantrel-prefs vantrel-prefs-gtk"

installed >/tmp/before.txt
# The packages' directory is a repository too (scripts/package.sh writes its
# index), from which apt takes the libraries a package needs.
echo "deb [trusted=yes] file:/tmp/debs ./" >/etc/apt/sources.list.d/vantrel.list
apt-get update -qq
cd /tmp/debs

# 1. fmutil alone, as on a file server without a desktop: it brings the
# libraries it loads and nothing of GTK, X, Wayland or D-Bus.
apt_install "./fmutil_${version}_${arch}.deb"
brought=$(comm -13 /tmp/before.txt <(installed) | xargs)
echo "fmutil brought: $brought"
desktop='^(libgtk|libgdk|gtk|libx11|libxcb|libwayland|libdbus|dbus|libsystemd|libvantrel-cf|libvantrel-cocoa)'
if grep -Eq "$desktop" < <(tr ' ' '\n' <<<"$brought"); then fail "fmutil brought $brought"; fi
# What fmutil depends on, all the way down (whether installed already or not:
# minbase has libsystemd0 for apt itself).
closure=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
  --no-replaces --no-enhances fmutil | grep -v '^ ' | sort -u)
if grep -Eq "$desktop" <<<"$closure"; then
  fail "fmutil's dependencies reach $(grep -E "$desktop" <<<"$closure" | xargs)"
fi
if ldd /usr/bin/fmutil | grep -Eq 'libsystemd|libdbus|libgtk|libX11|not found'; then
  fail "fmutil loads $(ldd /usr/bin/fmutil)"
fi
[ "$(fmutil --version)" = "fmutil $version" ] || fail "fmutil --version says '$(fmutil --version)'"
[ "$(man -w fmutil)" = /usr/share/man/man1/fmutil.1.gz ] || fail "man -w fmutil: $(man -w fmutil 2>&1)"
MANWIDTH=200 man -P cat fmutil 2>/dev/null | grep -q 'fmutil copy-attrs SRC DST' ||
  fail "man fmutil does not show the commands"
[ -f /usr/share/bash-completion/completions/fmutil ] || fail "no bash completion for fmutil"
: >/tmp/notes.txt
fmutil type /tmp/notes.txt --type TEXT --creator ttxt || fail "fmutil type"
fmutil info /tmp/notes.txt | grep -q TEXT || fail "fmutil info does not show the type"

# 2. The development files: a pkg-config consumer and a find_package one,
# built against what is installed in the standard places.
apt_install "./libvantrel-dev_${version}_${arch}.deb"
[ "$(pkg-config --modversion vantrel-strings)" = "$version" ] || fail "pkg-config vantrel-strings"
read -r -a flags <<<"$(pkg-config --cflags --libs vantrel-strings)"
g++ -std=c++20 -o /tmp/match_names /tmp/src/pkgconfig-consumer/match_names.cpp "${flags[@]}"
out=$(/tmp/match_names 'rep*.txt' report.txt notes.txt REPORT.TXT reply.doc 'rep.txt')
[ "$out" = $'report.txt\nREPORT.TXT\nrep.txt' ] || fail "match_names printed '$out'"
cmake -S /tmp/src/cmake-consumer -B /tmp/cmake-consumer >/tmp/cmake.log 2>&1 ||
  { cat /tmp/cmake.log >&2; fail "find_package(Vantrel) with libvantrel-dev"; }
cmake --build /tmp/cmake-consumer >>/tmp/cmake.log 2>&1 || { cat /tmp/cmake.log >&2; fail "cmake --build"; }
: >/tmp/plain.txt
out=$(/tmp/cmake-consumer/finder_info /tmp/plain.txt)
[ "$out" = "TEXT ttxt 0800" ] || fail "finder_info printed '$out'"

# 3. Everything. The host shows its own pane, and one built from the example
# that libvantrel-dev carries.
apt_install --no-install-recommends ./*.deb
[ "$(vantrel-prefs --version)" = "vantrel-prefs $version" ] || fail "vantrel-prefs --version"
list=$(vantrel-prefs --list) || fail "vantrel-prefs --list: $list"
grep -qx "Vantrel ${version%.*}" <<<"$list" || fail "vantrel-prefs --list printed '$list'"
[ "$(grep -c '^\[[x ]\] ' <<<"$list")" -eq 12 ] || fail "vantrel-prefs --list printed '$list'"
[ "$(man -w vantrel-prefs)" = /usr/share/man/man1/vantrel-prefs.1.gz ] || fail "man -w vantrel-prefs"
example=/usr/share/doc/libvantrel-dev/examples/pane
cmake -S "$example" -B /tmp/pane >/tmp/pane.log 2>&1 && cmake --build /tmp/pane >>/tmp/pane.log 2>&1 ||
  { cat /tmp/pane.log >&2; fail "the example pane does not build"; }
out=$(vantrel-prefs --bundle /tmp/pane/Greeting.prefPane --list)
[ "$out" = $'[ ] Greet at Login\nGreeting 1.2' ] || fail "the example pane lists '$out'"
# The loader knows every library (dh_makeshlibs' trigger ran ldconfig), and
# the window module finds what it links.
[ "$(ldconfig -p | grep -c 'libvantrel-[a-z]*\.so\.1 ')" -eq 7 ] || fail "ldconfig: $(ldconfig -p | grep vantrel)"
module=/usr/lib/$multiarch/vantrel/vantrel-prefs-gtk.so
if ldd "$module" | grep -q 'not found'; then fail "$module: $(ldd "$module" | grep 'not found')"; fi
echo "installed: $(comm -13 /tmp/before.txt <(installed) | wc -l) packages"

# 4. Removed and purged, with what they brought: the root is as before.
# shellcheck disable=SC2086
apt-get purge -y $ours >/tmp/purge.log 2>&1 || { cat /tmp/purge.log >&2; fail "apt-get purge"; }
apt-get autoremove --purge -y >>/tmp/purge.log 2>&1 || { cat /tmp/purge.log >&2; fail "autoremove"; }
rm /etc/apt/sources.list.d/vantrel.list
if ! diff /tmp/before.txt <(installed) >/tmp/diff.txt; then fail "packages after purging: $(cat /tmp/diff.txt)"; fi
if dpkg -l | grep -E '^(rc|[a-z][^i]) '; then fail "packages left half-removed (above)"; fi
left=$(find / -xdev \( -path /proc -o -path /tmp -o -path /root \) -prune -o -iname '*vantrel*' -print)
[ -z "$left" ] || fail "left after purging: $left"
if ldconfig -p | grep -q vantrel; then fail "the loader still lists $(ldconfig -p | grep vantrel)"; fi
echo "removed and purged: nothing left"
