#!/bin/sh
# Two fmutil builds (BEFORE and AFTER a change) against cp -a and mv in one
# run, alternating per round: cp -r of the tree of copies_bench.sh (10,000
# files in 100 folders, one in ten with a sidecar) ext4 -> ext4 and
# ext4 -> tmpfs, and mv of it tmpfs -> ext4. The ext4 is a loop image held
# in a tmpfs, so that a shared disk's queue stays out of the figures (every
# call still runs ext4's code and journal). Prints CPU (user + system),
# user, system and wall seconds of each. Run as root:
#   unshare -m sh bench/copies_compare.sh BEFORE AFTER [ROUNDS]
set -eu
BENCH_DIR=$(cd "$(dirname "$0")" && pwd)
B=$1
A=$2
ROUNDS=${3:-3}
export XDG_STATE_HOME="${XDG_STATE_HOME:-/tmp/copies-compare-state}"
W0=$(mktemp -d /tmp/copies-compare.XXXXXX)
mount --make-rprivate /
mkdir "$W0/tmpfs" "$W0/ram" "$W0/x"
mount -t tmpfs -o size=2g tmpfs "$W0/tmpfs"
mount -t tmpfs -o size=1200m tmpfs "$W0/ram"
truncate -s 1g "$W0/ram/img"
mkfs.ext4 -q "$W0/ram/img"
mount -o loop "$W0/ram/img" "$W0/x"
W=$W0/x
python3 "$BENCH_DIR/sidecar_tree.py" "$W/src" 100 100
sync
cpu() {  # LABEL COMMAND...
    label=$1
    shift
    /usr/bin/time -f "%U %S %e" -o "$W0/time" "$@"
    awk -v l="$label" '{ printf "%-12s cpu %.2f user %.2f sys %.2f wall %.2f\n", l, $1 + $2, $1, $2, $3 }' "$W0/time"
}
r=1
while [ "$r" -le "$ROUNDS" ]; do
    echo "round $r (load: $(cut -d' ' -f1-3 /proc/loadavg))"
    for who in before after peer; do
        rm -rf "$W/e" "$W0/tmpfs/t" "$W/m"
        mkdir "$W/e" "$W0/tmpfs/t" "$W/m"
        if [ $who = peer ]; then
            cpu "ext4 $who" cp -a "$W/src" "$W/e"
            cpu "tmpfs $who" cp -a "$W/src" "$W0/tmpfs/t"
            cpu "mv $who" mv "$W0/tmpfs/t/src" "$W/m"
        else
            if [ $who = before ]; then F=$B; else F=$A; fi
            cpu "ext4 $who" "$F" cp -r "$W/src" "$W/e"
            cpu "tmpfs $who" "$F" cp -r "$W/src" "$W0/tmpfs/t"
            cpu "mv $who" "$F" mv "$W0/tmpfs/t/src" "$W/m"
        fi
    done
    r=$((r + 1))
done
umount "$W0/x"
umount "$W0/ram"
umount "$W0/tmpfs"
rm -rf "$W0"
