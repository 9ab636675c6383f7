#!/usr/bin/env bash
# The Debian packages as an administrator meets them: built from the sources
# with dpkg-buildpackage (scripts/package.sh), checked by lintian, their
# symbols files held to what the libraries export, then installed with apt
# into a throwaway Debian 12 root and used there (package_in_root.sh): fmutil
# alone first (no GTK, no D-Bus), then the development files with two
# programs built against them, then everything; then removed and purged, and
# nothing of them may be left.
#
# The root is a debootstrap of bookworm from Debian's mirror with a compiler,
# CMake and man-db, made once and kept in the build directory
# (package-test-cache/, with apt's downloads); each run puts an overlay over
# it inside a private mount namespace, so a run starts clean and the real
# system's /usr, /etc and /var are never touched.
#   package_test.sh BUILD_DIR SOURCE_DIR VERSION
set -euo pipefail
export LC_ALL=C
build=$1 src=$2 version=$3
work=$build/package-test
cache=${VANTREL_PACKAGE_CACHE:-$build/package-test-cache}
mirror=${VANTREL_DEBIAN_MIRROR:-http://deb.debian.org/debian}
skip() { echo "package test skipped: $*"; exit 77; }
fail() { echo "package test: $*" >&2; exit 1; }
step() { echo "package test: $* ($(date +%T))"; }

[ "$(id -u)" -eq 0 ] || skip "needs root (debootstrap, chroot, mounts)"
for tool in dpkg-buildpackage dh lintian debootstrap unshare chroot apt-get; do
  command -v "$tool" >/dev/null || skip "$tool is missing (scripts/deps.sh test installs it)"
done
grep -qw overlay /proc/filesystems || modprobe overlay 2>/dev/null ||
  skip "the kernel has no overlay file system"
arch=$(dpkg --print-architecture)

# A run on the same inputs as the last passing one would prove it again:
# the stamp in the build directory holds a hash of what the packages expose
# (package_stamp.sh says what that is, and why not every source byte). A
# fresh build directory has no stamp, outside a checkout none is kept, and
# VANTREL_PACKAGE_TEST=always (.ci/run) runs the test whatever the stamp says.
stamp=$build/package-test.stamp
hash=$("$src/tests/install/package_stamp.sh" "$build" "$src" || true)
if [ "${VANTREL_PACKAGE_TEST:-}" != always ] && [ -n "$hash" ] && [ -f "$stamp" ] &&
  [ "$(cat "$stamp")" = "$hash" ]; then
  skip "nothing that goes into the packages changed since its last passing run" \
    "(inputs $hash, $stamp); not built again (VANTREL_PACKAGE_TEST=always runs it)"
fi
rm -f "$stamp"

# Whatever an earlier run left mounted is gone with its namespace; its
# directories are removed here.
rm -rf "$work"
mkdir -p "$work" "$cache/archives/partial"

step "building the packages"
"$src/scripts/package.sh" "$work/debs" >"$work/package.log" 2>&1 ||
  { tail -40 "$work/package.log" >&2; fail "scripts/package.sh failed"; }
debs=$work/debs
expected="fmutil libvantrel-cf1 libvantrel-cocoa1 libvantrel-core1 libvantrel-dev"
expected+=" libvantrel-filemanager1 libvantrel-files1 libvantrel-strings1 libvantrel-text1"
expected+=" vantrel-prefs vantrel-prefs-gtk"
names=$(for d in "$debs"/*.deb; do dpkg-deb -f "$d" Package; done | sort | xargs)
[ "$names" = "$expected" ] || fail "the packages are '$names', not '$expected'"
dbg=$(for d in "$debs"/debug/*.deb; do dpkg-deb -f "$d" Package; done | sort | xargs)
[ "$dbg" = "$(printf '%s-dbgsym\n' $expected | grep -v dev-dbgsym | xargs)" ] ||
  fail "the debug packages are '$dbg'"
for d in "$debs"/*.deb "$debs"/debug/*.deb; do
  v=$(dpkg-deb -f "$d" Version)
  [ "$v" = "$version" ] || fail "$(basename "$d") is at $v, project(VERSION) at $version"
done

step "lintian"
lintian_out=$work/lintian.txt
# Every tag down to the informational ones is shown, overridden ones too
# (with the reason the override gives); errors and warnings fail the test.
# lintian's own verdict (--fail-on) would count an override shown as a
# failure, so the lines are read instead.
status=0
lintian --fail-on none --display-info --show-overrides \
  "$debs"/*.deb "$debs"/debug/*.deb "$debs"/source/*.dsc >"$lintian_out" 2>&1 || status=$?
grep -v '^running with root privileges' "$lintian_out" || true
[ "$status" -eq 0 ] || fail "lintian did not run to its end (status $status)"
if grep -Eq '^[EW]: ' "$lintian_out"; then fail "lintian reports errors or warnings (above)"; fi

step "symbols files"
# Each library package carries its symbols file, and in a later release a
# symbol that went from a library fails dpkg-gensymbols (and so the package
# build): here libvantrel-core as built, taken for the next minor release,
# against a symbols file that lists one symbol more.
sym=$work/symbols
mkdir -p "$sym/debian"
cp "$src/debian/control" "$src/debian/changelog" "$sym/debian/"
for d in "$debs"/libvantrel-*1_*.deb; do
  p=$(dpkg-deb -f "$d" Package)
  dpkg-deb --ctrl-tarfile "$d" | tar -xOf - ./symbols >"$sym/$p.installed" 2>/dev/null ||
    fail "$p has no symbols file"
  lib=$(head -1 "$sym/$p.installed" | cut -d' ' -f1)
  [ "$lib" = "${p%1}.so.1" ] || fail "$p's symbols file is for '$lib'"
done
mkdir -p "$sym/unpacked"
dpkg-deb -x "$debs"/libvantrel-core1_*.deb "$sym/unpacked"
cp "$src/debian/libvantrel-core1.symbols" "$sym/gone.symbols"
echo " GetHandleSizeOfAnOlderRelease@Base 1.0.0" >>"$sym/gone.symbols"
minor=${version#*.}
next=${version%%.*}.$((${minor%%.*} + 1)).0
if (cd "$sym" && dpkg-gensymbols -plibvantrel-core1 -v"$next" -P"$sym/unpacked" \
  -I"$sym/gone.symbols" -O"$sym/out.symbols" >"$sym/gone.log" 2>&1); then
  fail "dpkg-gensymbols let a symbol go from libvantrel-core: $(cat "$sym/gone.log")"
fi
grep -q 'GetHandleSizeOfAnOlderRelease' "$sym/gone.log" ||
  fail "dpkg-gensymbols did not name the symbol that went: $(cat "$sym/gone.log")"

# Runs COMMAND in the root DIR (chroot, private mounts: /proc, apt's
# download cache, the host's resolver), with a clean environment.
in_root() {
  local dir=$1
  shift
  unshare --mount --propagation private -- bash -euo pipefail -c '
    dir=$1 cache=$2 upper=$3
    shift 3
    if [ -n "$upper" ]; then
      mkdir -p "$upper/upper" "$upper/work" "$dir"
      mount -t overlay overlay -o "lowerdir=$cache/root,upperdir=$upper/upper,workdir=$upper/work" "$dir"
    fi
    mount -t proc proc "$dir/proc"
    mount --bind "$cache/archives" "$dir/var/cache/apt/archives"
    cp -L /etc/resolv.conf "$dir/etc/resolv.conf"
    exec chroot "$dir" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
      LC_ALL=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"
  ' in_root "$dir" "$cache" "${OVERLAY:-}" "$@"
}

if [ ! -d "$cache/root" ]; then
  step "making the Debian 12 root with debootstrap (once; kept in $cache)"
  rm -rf "$cache/root.new"
  debootstrap --variant=minbase --cache-dir="$cache/archives" bookworm "$cache/root.new" "$mirror" \
    >"$cache/debootstrap.log" 2>&1 ||
    { tail -5 "$cache/debootstrap.log"; skip "debootstrap from $mirror failed (log: $cache/debootstrap.log)"; }
  # Nothing installed in the root starts a service.
  printf '#!/bin/sh\nexit 101\n' >"$cache/root.new/usr/sbin/policy-rc.d"
  chmod 755 "$cache/root.new/usr/sbin/policy-rc.d"
  # What the test uses there besides the packages: man, a compiler, CMake.
  in_root "$cache/root.new" sh -c 'apt-get update -qq &&
    apt-get install -y -qq --no-install-recommends man-db g++ make cmake pkg-config >/dev/null' \
    >"$cache/tools.log" 2>&1 ||
    { tail -20 "$cache/tools.log" >&2; fail "the test's tools do not install in the root"; }
  rm -f "$cache/root.new/etc/resolv.conf"
  mv "$cache/root.new" "$cache/root"
fi

step "installing, using, removing and purging in the throwaway root"
OVERLAY=$work/overlay
export OVERLAY
install -d -m 1777 "$work/overlay/upper/tmp"
mkdir -p "$work/root" "$work/overlay/upper/tmp/debs" "$work/overlay/upper/tmp/src"
cp "$debs"/*.deb "$debs"/Packages "$work/overlay/upper/tmp/debs/"
cp -r "$src/tests/install/package_in_root.sh" "$src/tests/install/cmake-consumer" \
  "$src/tests/install/pkgconfig-consumer" "$work/overlay/upper/tmp/src/"
chmod -R a+rX "$work/overlay/upper/tmp"
in_root "$work/root" bash /tmp/src/package_in_root.sh "$version" "$arch" ||
  fail "in the throwaway root (above)"

# What the packages left behind: everything the run changed in the root is in
# the overlay's upper directory, compared here with the root before. Besides
# the test's own files, apt's and dpkg's records, logs, caches and /run,
# nothing may differ: no file of a package, no file of the root deleted (a
# whiteout). What GTK's dependencies do and Debian keeps on purging is named:
# dbus and systemd (dconf's session bus) add system accounts, which Debian
# never deletes, and systemd writes the machine's identity and /etc/mtab.
upper=$work/overlay/upper
lower=$cache/root
left=()
kept=()
while IFS= read -r -d '' f; do
  rel=${f#./}
  case $rel in
    tmp/* | root/* | run/* | var/lib/apt/* | var/lib/dpkg/* | var/cache/* | var/log/* | \
      etc/ld.so.cache | etc/resolv.conf) continue ;;
    # The account tools' copies of the files before their last change: the
    # files themselves are compared below.
    etc/passwd- | etc/group- | etc/shadow- | etc/gshadow-) continue ;;
  esac
  u=$upper/$rel l=$lower/$rel
  if [ -c "$u" ] && [ "$(stat -c %t:%T "$u")" = 0:0 ]; then
    left+=("$rel (deleted)")
  elif [ -L "$u" ]; then
    if [ -L "$l" ] && [ "$(readlink "$u")" = "$(readlink "$l")" ]; then continue; fi
    case $rel in etc/mtab) kept+=("$rel") ;; *) left+=("$rel") ;; esac
  elif [ -f "$l" ] && [ ! -L "$l" ] && cmp -s "$u" "$l"; then
    continue
  else
    case $rel in
      etc/passwd | etc/group | etc/shadow | etc/gshadow)
        # Accounts added, none removed or changed, none of ours.
        if [ -f "$l" ] && ! diff "$l" "$u" | grep -q '^<' && ! grep -qi vantrel "$u"; then
          kept+=("$rel: $({ diff "$l" "$u" || true; } | sed -n 's/^> \([^:]*\):.*/\1/p' | xargs)")
        else
          left+=("$rel")
        fi
        ;;
      etc/machine-id) kept+=("$rel") ;;
      *) left+=("$rel") ;;
    esac
  fi
done < <(cd "$upper" && find . -mindepth 1 ! -type d -print0)
[ ${#kept[@]} -eq 0 ] || echo "package test: kept by Debian after purging what GTK brought: ${kept[*]}"
[ ${#left[@]} -eq 0 ] || fail "left in the root after purging: ${left[*]}"

step "done"
[ -z "$hash" ] || echo "$hash" >"$stamp"
echo "package test: $(echo "$names" | wc -w) packages and their debug symbols, lintian clean;" \
  "installed, used, removed and purged in a Debian 12 root"
