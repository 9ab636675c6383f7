#!/bin/sh
# The walks and the catalogue information of filemanager_bench on file
# systems made for the run, each against `find -printf '%M %p\n'` on the
# same tree: ext4 and XFS images of 300 MB (inode numbers below 2^31: no
# ID table), and XFS on a sparse image of 15 TiB in 16 allocation groups,
# mounted inode64, where every allocation group but the first numbers its
# inodes from 2^31 up, so their items take their node IDs from the ID
# table (the counter table_ids says how many). The image takes what mkfs
# and the tree write (some tens of MB). Run as root, in a mount namespace
# of its own, which takes the mounts with it:
#   unshare -m sh bench/filesystems_bench.sh BENCH [ROUNDS] [SCRATCH]
# BENCH is build-release/bench/filemanager_bench. Each round runs every
# file system once, in turn; the rows of one run alternate ours and the
# peer's (random interleaving of repetitions).
set -eu
BENCH=$1
ROUNDS=${2:-2}
SCRATCH=${3:-/tmp}
FILTER=${FILTER:-'BM_(IterateContainer|IterateContainerListing|GetCatalogInfo|FindPrintf|NodeIdsFirstSight|NodeIdsSeen)/100000'}
W=$(mktemp -d "$SCRATCH/fs-bench.XXXXXX")
mount --make-rprivate /
cleanup() {
    for m in ext4 xfs xfs64; do umount "$W/$m" 2>/dev/null || true; done
    rm -rf "$W"
}
trap cleanup EXIT INT TERM
for m in ext4 xfs xfs64; do mkdir "$W/$m" "$W/state-$m"; done
# The walks' own ID tables (the rows that do not set their own) go with
# the run too, not into the user's state directory.
export XDG_STATE_HOME="$W/state"
truncate -s 300M "$W/ext4.img"
mkfs.ext4 -q -F -N 131072 "$W/ext4.img"  # 100,000 files need more inodes than the default
truncate -s 300M "$W/xfs.img"
mkfs.xfs -q -f "$W/xfs.img"
truncate -s 15T "$W/xfs64.img"
mkfs.xfs -q -f -K -d agcount=16 -l size=64m "$W/xfs64.img"
mount -o loop "$W/ext4.img" "$W/ext4"
mount -o loop "$W/xfs.img" "$W/xfs"
mount -o loop,inode64 "$W/xfs64.img" "$W/xfs64"
for round in $(seq "$ROUNDS"); do
    for m in ext4 xfs xfs64; do
        echo "== round $round, $m (load: $(cut -d' ' -f1-3 /proc/loadavg))"
        VANTREL_BENCH_DIR="$W/$m" VANTREL_BENCH_STATE="$W/state-$m" "$BENCH" \
            --benchmark_filter="$FILTER" --benchmark_repetitions=3 \
            --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
            --benchmark_counters_tabular=true 2>&1 | grep -E 'median|^Benchmark|Error|error'
    done
done
echo "image sizes on disk (KiB): $(du -k "$W"/*.img | tr '\t\n' ' ')"
