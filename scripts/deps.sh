#!/usr/bin/env bash
# Installs the Debian packages (Debian 12, bookworm) that the project needs,
# when any is missing. Safe to run again; does nothing when all are present.
#   scripts/deps.sh run    building and running the programs (scripts/run.sh)
#   scripts/deps.sh test   that and the test suite's tools (scripts/test.sh);
#                          the default
# debian/control names the same build dependencies for the packages.
set -euo pipefail
set_name=${1:-test}
run=(
  build-essential cmake pkg-config ninja-build
  libsystemd-dev         # sd-bus: distributed notifications on the D-Bus session bus
  libicu-dev             # text encodings and Unicode normalisation
  libsqlite3-dev         # the File Manager's ID table (IDs of objects whose inode number cannot be one)
  libgtk-4-dev libx11-dev   # the window front end of vantrel-prefs (a module, loaded only for a window)
)
tests=(
  libplist-dev           # property lists: the tests' independent reader of preference files
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev   # libFuzzer for the fuzz targets
  clang-format-14        # the format gate (scripts/lint.sh): clang-format 14, as .clang-format was written for
  clang-tidy-14          # the clang-tidy gate (scripts/lint.sh), with run-clang-tidy-14 to run it in parallel
  ccache                 # the test builds' compiler cache (scripts/build-cache.sh), used when installed
  lld                    # the test builds' linker (scripts/build-cache.sh), used when installed
  dbus                   # dbus-run-session / dbus-daemon for the tests
  tmux                   # drives the terminal interface in tests
  python3                # plistlib reads what the preference store writes, in tests
  xvfb xdotool           # the window tests: an X server of their own, the real pointer and keyboard
  at-spi2-core python3-pyatspi   # the window tests find controls through the accessibility bus
  imagemagick            # screenshots of the window (import -window root)
  appstream desktop-file-utils   # validate the installed AppStream metadata and .desktop entry
  e2fsprogs attr         # chattr/lsattr, getfattr/setfattr in tests
  xfsprogs btrfs-progs   # mkfs.xfs, mkfs.btrfs: the per-file-system tests' loop images
  acl                    # setfacl: access granted by an ACL rather than the mode, in tests
  util-linux             # unshare, mount
  hyperfine              # whole-command benchmarks
  coreutils findutils
  locales                # locale sources: the string tests build tr_TR and de_DE with localedef
  samba samba-vfs-modules smbclient   # the interoperability test runs its own smbd (fruit, catia, streams_xattr)
  man-db bash-completion # fmutil's man page and completion, read as a user gets them
  dpkg-dev debhelper     # the Debian packages (dpkg-buildpackage, dpkg-shlibdeps, dpkg-gensymbols)
  lintian                # the package test's checks of the packages
  debootstrap            # the package test's throwaway Debian 12 root
)
case $set_name in
  run) pkgs=("${run[@]}") ;;
  test) pkgs=("${run[@]}" "${tests[@]}") ;;
  *) echo "usage: scripts/deps.sh [run | test]" >&2; exit 2 ;;
esac
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "deps: installing ${missing[*]}" >&2
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  # Installing samba must not start the system's smbd and nmbd: the tests run
  # a server of their own, and a machine that only builds this project should
  # not begin serving files. Where no policy forbids starting services during
  # installs (containers usually have one), one does for this install.
  policy=""
  if [[ " ${missing[*]} " == *" samba "* ]] && [ ! -e /usr/sbin/policy-rc.d ]; then
    policy=/usr/sbin/policy-rc.d
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
    trap '$SUDO rm -f "$policy"' EXIT
  fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  if [[ " ${missing[*]} " == *" samba "* ]] && command -v systemctl >/dev/null; then
    $SUDO systemctl disable smbd nmbd samba-ad-dc >/dev/null 2>&1 || true  # nor at the next boot
  fi
fi
