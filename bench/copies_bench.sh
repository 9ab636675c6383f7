#!/bin/sh
# fmutil cp -r against cp -a, and fmutil mv against mv, on one tree of
# 10,000 small files in 100 folders, one in ten with a resource fork
# (a sidecar "._NAME" as Samba writes it): CPU time (user + system) of each,
# on ext4 (the directory this runs in) and onto a tmpfs, and the moves from
# a tmpfs to ext4. Then strace -c of each copy of a tenth of the tree, for
# the system calls per file. Run as root (it mounts tmpfs in a private
# mount namespace): unshare -m sh bench/copies_bench.sh FMUTIL [SCRATCH]
set -eu
BENCH_DIR=$(cd "$(dirname "$0")" && pwd)
FMUTIL=$1
SCRATCH=${2:-/tmp}
W=$(mktemp -d "$SCRATCH/copies-bench.XXXXXX")
mount --make-rprivate /
mkdir "$W/tmpfs"
mount -t tmpfs -o size=2g tmpfs "$W/tmpfs"
make_tree() {  # DIR FOLDERS FILES_PER_FOLDER
    python3 "$BENCH_DIR/sidecar_tree.py" "$1" "$2" "$3"
}
cpu() {  # LABEL COMMAND...: prints LABEL and user+system seconds
    label=$1
    shift
    /usr/bin/time -f "%U %S" -o "$W/time" "$@"
    awk -v l="$label" '{ printf "%-34s %.2f s CPU\n", l, $1 + $2 }' "$W/time"
}
make_tree "$W/src" 100 100
sync
for round in 1 2 3; do
    echo "round $round (load: $(cut -d' ' -f1-3 /proc/loadavg))"
    rm -rf "$W/e1" "$W/e2" "$W/tmpfs/t1" "$W/tmpfs/t2"
    mkdir "$W/e1" "$W/e2" "$W/tmpfs/t1" "$W/tmpfs/t2"
    cpu "fmutil cp -r, ext4 -> ext4" "$FMUTIL" cp -r "$W/src" "$W/e1"
    cpu "cp -a, ext4 -> ext4" cp -a "$W/src" "$W/e2"
    cpu "fmutil cp -r, ext4 -> tmpfs" "$FMUTIL" cp -r "$W/src" "$W/tmpfs/t1"
    cpu "cp -a, ext4 -> tmpfs" cp -a "$W/src" "$W/tmpfs/t2"
    rm -rf "$W/m1" "$W/m2"
    mkdir "$W/m1" "$W/m2"
    cpu "fmutil mv, tmpfs -> ext4" "$FMUTIL" mv "$W/tmpfs/t1/src" "$W/m1"
    cpu "mv, tmpfs -> ext4" mv "$W/tmpfs/t2/src" "$W/m2"
done
# System calls per file: 1,000 files (100 with forks) in 10 folders.
make_tree "$W/small" 10 100
for who in fmutil cp; do
    rm -rf "$W/tmpfs/s"
    mkdir "$W/tmpfs/s"
    if [ $who = fmutil ]; then
        strace -c -f -o "$W/strace.$who" "$FMUTIL" cp -r "$W/small" "$W/tmpfs/s"
    else
        strace -c -f -o "$W/strace.$who" cp -a "$W/small" "$W/tmpfs/s"
    fi
    echo "$who, 1,000 files ext4 -> tmpfs (calls, errors, total):"
    grep -E ' total$' "$W/strace.$who"
    head -n 14 "$W/strace.$who" | tail -n 11
done
umount "$W/tmpfs"
rm -rf "$W"
