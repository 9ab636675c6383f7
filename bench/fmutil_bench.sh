#!/bin/sh
# Whole-process comparisons of fmutil against the standard tools, in one run
# and on the same trees of 100,000 files:
#
#   ls        fmutil ls DIR      vs  ls -f DIR       (one directory of 100,000 files)
#   ls-l      fmutil ls -l DIR   vs  ls -lU DIR      (the same directory)
#   tree      fmutil tree DIR    vs  find DIR -printf '%M %p\n'   (nested tree)
#   tree-utf8 fmutil tree on the nested tree with non-ASCII names vs the same
#             tree in ASCII (both fmutil: the cost of names that are not ASCII)
#   rm        fmutil rm DIR      vs  rm -rf DIR      (nested tree, recreated before each run)
#   rm-v      fmutil rm -v DIR   vs  rm -rv DIR      (the same, each removed item named)
#   cp        fmutil cp -r DIR D vs  cp -a DIR D     (nested tree; the copy removed before each run)
#   cp-fresh  the same copies, each run on an ext4 made anew for it (a loop
#             image; needs root and mkfs.ext4). On a file system where
#             100,000 files were just deleted, ext4 searches its inode tables
#             past each recently freed inode, which costs either copy several
#             times what the copy itself costs and differs from run to run;
#             on a fresh one the copies' own costs are compared.
#
# usage: bench/fmutil_bench.sh [FMUTIL] [WORKDIR]
#   FMUTIL   the program to measure (default: build-bench/tools/fmutil/fmutil;
#            build it with -DCMAKE_BUILD_TYPE=Release -DVANTREL_BUILD_FMUTIL=ON)
#   WORKDIR  where the trees are made (default: a new directory under
#            ${TMPDIR:-/tmp}); it needs room for three trees of 100,000 files.
# Environment: RUNS (default 10), FILES (default 100000), PAIRS (default
# "ls ls-l tree tree-utf8 rm cp", and cp-fresh as root: which comparisons to run).
# Prints hyperfine's tables and, per pair, the ratios fmutil / peer of the
# wall-clock time and of the CPU time (below 1: fmutil is faster). On a shared
# machine the CPU ratio is the steadier of the two.
set -eu

FMUTIL=${1:-build-bench/tools/fmutil/fmutil}
RUNS=${RUNS:-10}
FILES=${FILES:-100000}
default_pairs="ls ls-l tree tree-utf8 rm cp"
[ "$(id -u)" = 0 ] && command -v mkfs.ext4 >/dev/null && default_pairs="$default_pairs cp-fresh"
PAIRS=${PAIRS:-$default_pairs}
command -v hyperfine >/dev/null || { echo "fmutil_bench: hyperfine is needed (apt-get install hyperfine)" >&2; exit 2; }
command -v jq >/dev/null || { echo "fmutil_bench: jq is needed (apt-get install jq)" >&2; exit 2; }
[ -x "$FMUTIL" ] || { echo "fmutil_bench: no program at $FMUTIL" >&2; exit 2; }
FMUTIL=$(cd "$(dirname "$FMUTIL")" && pwd)/$(basename "$FMUTIL")

if [ $# -ge 2 ]; then
    WORK=$2
    mkdir -p "$WORK"
else
    WORK=$(mktemp -d "${TMPDIR:-/tmp}/fmutil-bench.XXXXXX")
fi
FRESH=$WORK/fresh  # cp-fresh's mount point, over $WORK/fresh.img
cleanup() {
    umount "$FRESH" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The nested tree: 10 top directories x 100 subdirectories x (FILES/1000)
# files, made by one process (fast enough to make anew before each timed rm).
per_dir=$((FILES / 1000))
NESTED="python3 $(cd "$(dirname "$0")" && pwd)/nested_tree.py"
echo "making trees of $FILES files in $WORK ..." >&2
$NESTED "$WORK/template" "$per_dir"
# The same tree with non-ASCII names (an accented letter in every name).
$NESTED "$WORK/utf8" "$per_dir" "$(printf '\303\251')"  # U+00E9, two bytes in UTF-8
mkdir -p "$WORK/flat"
(cd "$WORK/flat" && seq -f "file%06g.dat" 1 "$FILES" | xargs touch)
cp -a "$WORK/template" "$WORK/walk"
sync

fs_type=$(stat -f -c %T "$WORK")
echo "file system: $fs_type; $(nproc) cores; fmutil: $FMUTIL" >&2

run_pair() {  # name, fmutil command, peer command, [prepare command]
    name=$1
    if [ $# -ge 4 ]; then
        hyperfine --style basic --warmup 1 --runs "$RUNS" --prepare "$4" \
            --export-json "$WORK/$name.json" -n "fmutil $name" "$2" -n "$3" "$3" >&2
    else
        hyperfine --style basic --warmup 2 --runs "$RUNS" \
            --export-json "$WORK/$name.json" -n "fmutil $name" "$2" -n "$3" "$3" >&2
    fi
    jq -r --arg name "$name" \
        '"\($name): fmutil \(.results[0].mean * 1000 | floor) ms +- \(.results[0].stddev * 1000 | floor), " +
         "\(.results[1].command) \(.results[1].mean * 1000 | floor) ms +- \(.results[1].stddev * 1000 | floor), " +
         "ratio \(.results[0].mean / .results[1].mean * 100 | round / 100); " +
         "CPU (user+system) \((.results[0].user + .results[0].system) * 1000 | floor) ms vs " +
         "\((.results[1].user + .results[1].system) * 1000 | floor) ms, ratio " +
         "\((.results[0].user + .results[0].system) / (.results[1].user + .results[1].system) * 100 | round / 100)"' \
        "$WORK/$name.json"
}

for pair in $PAIRS; do
    case $pair in
    ls) run_pair ls "$FMUTIL ls $WORK/flat >/dev/null" "ls -f $WORK/flat >/dev/null" ;;
    ls-l) run_pair ls-l "$FMUTIL ls -l $WORK/flat >/dev/null" "ls -lU $WORK/flat >/dev/null" ;;
    tree) run_pair tree "$FMUTIL tree $WORK/walk >/dev/null" \
        "find $WORK/walk -printf '%M %p\\n' >/dev/null" ;;
    tree-utf8) run_pair tree-utf8 "$FMUTIL tree $WORK/utf8 >/dev/null" \
        "$FMUTIL tree $WORK/walk >/dev/null" ;;
    rm) run_pair rm "$FMUTIL rm $WORK/victim" "rm -rf $WORK/victim" \
        "rm -rf $WORK/victim; $NESTED $WORK/victim $per_dir; sync" ;;
    rm-v) run_pair rm-v "$FMUTIL rm -v $WORK/victim >/dev/null" "rm -rv $WORK/victim >/dev/null" \
        "rm -rf $WORK/victim; $NESTED $WORK/victim $per_dir; sync" ;;
    cp) run_pair cp "$FMUTIL cp -r $WORK/template $WORK/copies" "cp -a $WORK/template $WORK/copies" \
        "rm -rf $WORK/copies/template; mkdir -p $WORK/copies; sync" ;;
    cp-fresh)
        # Inodes for two copies of the tree and its source, whatever the bytes-per-inode ratio.
        mkdir -p "$FRESH"
        fresh="umount $FRESH 2>/dev/null; rm -f $WORK/fresh.img; truncate -s 8G $WORK/fresh.img;"
        fresh="$fresh mkfs.ext4 -q -F -N $((FILES * 3 + 10000)) $WORK/fresh.img &&"
        fresh="$fresh mount -o loop $WORK/fresh.img $FRESH && cp -a $WORK/template $FRESH/ &&"
        fresh="$fresh mkdir $FRESH/copies && sync"
        run_pair cp-fresh "$FMUTIL cp -r $FRESH/template $FRESH/copies" \
            "cp -a $FRESH/template $FRESH/copies" "$fresh" ;;
    *) echo "fmutil_bench: unknown pair '$pair' (ls, ls-l, tree, tree-utf8, rm, rm-v, cp, cp-fresh)" >&2
        exit 2 ;;
    esac
done
