#!/usr/bin/env bash
# Builds the Debian packages (Debian 12, bookworm) with dpkg-buildpackage and
# debian/, in a copy of the sources under the output directory, so that
# nothing is written beside the checkout. Installs the build dependencies
# that debian/control names when any is missing.
#   scripts/package.sh [OUTDIR]     default build-deb/
# OUTDIR then holds the packages, debug/ their debug symbols (-dbgsym) and
# source/ the source package with the .changes and .buildinfo. Install all
# with sudo apt-get install ./build-deb/*.deb. OUTDIR is also a local apt
# repository (its Packages index): with
#   echo "deb [trusted=yes] file:$PWD/build-deb ./" | sudo tee /etc/apt/sources.list.d/vantrel.list
#   sudo apt-get update && sudo apt-get install fmutil
# apt takes from it only what a package needs (fmutil: four libraries).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/build-deb}" && cd "${1:-$root/build-deb}" && pwd)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo

# What debian/control asks for, from Debian, through apt.
if ! (cd "$root" && dpkg-checkbuilddeps >/dev/null 2>&1); then
  echo "package: installing the build dependencies of debian/control" >&2
  command -v dpkg-checkbuilddeps >/dev/null || {
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends dpkg-dev >/dev/null
  }
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get build-dep -y -qq "$root/" >/dev/null
fi

version=$(cd "$root" && dpkg-parsechangelog -SVersion)
src=$out/vantrel-$version
rm -rf "$src" "$out/debug" "$out/source"
rm -f "$out"/Packages "$out"/*.deb "$out"/*.ddeb "$out"/*.changes "$out"/*.buildinfo "$out"/*.dsc "$out"/*.tar.*
mkdir -p "$src"
# The files of the checkout as git sees them (tracked, and new ones not
# ignored), or everything but build directories outside a checkout.
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -C "$root" ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do
      if [ -e "$root/$f" ] || [ -L "$root/$f" ]; then printf '%s\0' "$f"; fi
    done | tar -C "$root" --null -T - -cf - | tar -C "$src" -xf -
else
  (cd "$root" && find . -mindepth 1 -maxdepth 1 ! -name 'build*' ! -name '.git' ! -name 'obj-*' \
    -exec cp -a {} "$src/" \;)
fi

# The compiler cache, when the machine has one, makes a rebuild quick.
# debhelper gives the build a HOME of its own: the user's cache and settings
# are named here, before it does.
if [ -d /usr/lib/ccache ] && command -v ccache >/dev/null; then
  export PATH=/usr/lib/ccache:$PATH
  CCACHE_DIR=${CCACHE_DIR:-$(ccache -k cache_dir)}
  export CCACHE_DIR
  conf=${XDG_CONFIG_HOME:-$HOME/.config}/ccache/ccache.conf
  if [ -z "${CCACHE_CONFIGPATH:-}" ] && [ -f "$conf" ]; then export CCACHE_CONFIGPATH=$conf; fi
fi
export DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}"
echo "package: dpkg-buildpackage in $src (log: $out/build.log)" >&2
if ! (cd "$src" && dpkg-buildpackage -us -uc >"$out/build.log" 2>&1); then
  tail -40 "$out/build.log" >&2
  echo "package: dpkg-buildpackage failed; the whole log is $out/build.log" >&2
  exit 1
fi
rm -rf "$src"
mkdir "$out/debug" "$out/source"
mv "$out"/*-dbgsym_*.*deb "$out/debug/"
mv "$out"/*.changes "$out"/*.buildinfo "$out"/*.dsc "$out"/*.tar.* "$out/source/"
(cd "$out" && dpkg-scanpackages --multiversion . /dev/null >Packages 2>/dev/null)
ls "$out"/*.deb
