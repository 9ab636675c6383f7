#!/bin/sh
# fmutil dot-clean against the least a user would otherwise do, in one run
# and on copies of one tree: FILES files (default 100,000) in 10 x 100
# folders, one in ten with a "._" file as macOS writes it on a volume
# without extended attributes (Finder information, an ATTR block with one
# attribute, a 16-byte fork):
#
#   dot-clean     fmutil dot-clean DIR (netatalk layout: the Finder
#                 information and the attribute merged, "._" files rewritten
#                 as Samba's sidecars)   vs  find DIR -name '._*' -delete
#   dot-clean-s   the same on a stream volume (VANTREL_MAC_LAYOUT=stream:
#                 the fork to its stream, every "._" file removed)
#   convert-s     fmutil convert --to stream DIR (every item looked at, the
#                 macOS "._" files merged into the streams and removed)
#                 vs  find DIR -name '._*' -delete
#
# and fmutil's peak memory (maximum resident set, /usr/bin/time) for the
# whole tree and for a tenth of it: flat memory is the same figure for both.
#
# usage: bench/dotclean_bench.sh [FMUTIL] [WORKDIR]
#   FMUTIL   default build-release/tools/fmutil/fmutil (a Release build)
#   WORKDIR  default a new directory under ${TMPDIR:-/tmp}; room for two trees
# Environment: RUNS (default 5), FILES (default 100000).
set -eu

FMUTIL=${1:-build-release/tools/fmutil/fmutil}
RUNS=${RUNS:-5}
FILES=${FILES:-100000}
command -v hyperfine >/dev/null || { echo "dotclean_bench: hyperfine is needed" >&2; exit 2; }
command -v jq >/dev/null || { echo "dotclean_bench: jq is needed" >&2; exit 2; }
command -v python3 >/dev/null || { echo "dotclean_bench: python3 is needed" >&2; exit 2; }
[ -x "$FMUTIL" ] || { echo "dotclean_bench: no program at $FMUTIL" >&2; exit 2; }
FMUTIL=$(cd "$(dirname "$FMUTIL")" && pwd)/$(basename "$FMUTIL")

if [ $# -ge 2 ]; then
    WORK=$2
    mkdir -p "$WORK"
else
    WORK=$(mktemp -d "${TMPDIR:-/tmp}/dotclean-bench.XXXXXX")
fi
trap 'rm -rf "$WORK"' EXIT
trap 'exit 130' INT TERM

echo "making a tree of $FILES files in $WORK ..." >&2
# The "._" file from the published AppleDouble layout with macOS's ATTR
# header (docs/mac-metadata.md, "Other forms").
python3 - "$WORK/template" "$FILES" <<'EOF'
import os, struct, sys
root, files = sys.argv[1], int(sys.argv[2])
def dot(fi, attrs, fork):
    table = 0x78
    for n, v in attrs:
        table = (table + 11 + len(n) + 1 + 3) & ~3
    data = sum(len(v) for _, v in attrs)
    fil = max(3634, table + data - 0x32)
    at = 0x32 + fil
    s = struct.pack('>II', 0x00051607, 0x00020000) + b'Mac OS X        ' + struct.pack('>H', 2)
    s += struct.pack('>III', 9, 0x32, fil) + struct.pack('>III', 2, at, len(fork))
    s += fi.ljust(32, b'\0') + b'\0\0' + b'ATTR' + struct.pack('>IIII', 0, at, table, data)
    s += b'\0' * 12 + struct.pack('>HH', 0, len(attrs))
    d = table
    for n, v in attrs:
        s += struct.pack('>IIHB', d, len(v), 0, len(n) + 1) + n + b'\0'
        s = s.ljust((len(s) + 3) & ~3, b'\0')
        d += len(v)
    s = s.ljust(table, b'\0')
    for _, v in attrs:
        s += v
    return s.ljust(at, b'\0') + fork
blob = dot(b'TEXTttxt', [(b'com.apple.quarantine', b'0083;5f3a1b2c;Safari;')], b'f' * 16)
per = files // 1000
n = 0
for top in range(10):
    for sub in range(100):
        d = os.path.join(root, 't%d' % top, 's%02d' % sub)
        os.makedirs(d)
        for i in range(per):
            name = 'file%04d.dat' % i
            open(os.path.join(d, name), 'wb').close()
            if n % 10 == 0:
                with open(os.path.join(d, '._' + name), 'wb') as f:
                    f.write(blob)
            n += 1
EOF
sync
echo "file system: $(stat -f -c %T "$WORK"); $(nproc) cores; fmutil: $FMUTIL" >&2

run_pair() {  # name, fmutil command, peer command
    hyperfine --style basic --warmup 1 --runs "$RUNS" \
        --prepare "rm -rf $WORK/victim; cp -a $WORK/template $WORK/victim; sync" \
        --export-json "$WORK/$1.json" -n "fmutil $1" "$2" -n "$3" "$3" >&2
    jq -r --arg name "$1" \
        '"\($name): fmutil \(.results[0].mean * 1000 | floor) ms +- \(.results[0].stddev * 1000 | floor), " +
         "\(.results[1].command) \(.results[1].mean * 1000 | floor) ms +- \(.results[1].stddev * 1000 | floor), " +
         "ratio \(.results[0].mean / .results[1].mean * 100 | round / 100); " +
         "CPU (user+system) \((.results[0].user + .results[0].system) * 1000 | floor) ms vs " +
         "\((.results[1].user + .results[1].system) * 1000 | floor) ms"' "$WORK/$1.json"
}

run_pair dot-clean "VANTREL_MAC_LAYOUT=netatalk $FMUTIL dot-clean $WORK/victim" \
    "find $WORK/victim -name '._*' -delete"
run_pair dot-clean-s "VANTREL_MAC_LAYOUT=stream $FMUTIL dot-clean $WORK/victim" \
    "find $WORK/victim -name '._*' -delete"
run_pair convert-s "$FMUTIL convert --to stream $WORK/victim" \
    "find $WORK/victim -name '._*' -delete"

# Peak memory: the whole tree, then one of its ten top folders.
for what in victim victim/t0; do
    rm -rf "$WORK/victim"
    cp -a "$WORK/template" "$WORK/victim"
    kb=$(VANTREL_MAC_LAYOUT=stream /usr/bin/time -f %M "$FMUTIL" dot-clean "$WORK/$what" 2>&1 >/dev/null | tail -1)
    echo "memory: fmutil dot-clean $what: $kb KiB at most"
    rm -rf "$WORK/victim"
    cp -a "$WORK/template" "$WORK/victim"
    kb=$(/usr/bin/time -f %M "$FMUTIL" convert --to stream "$WORK/$what" 2>&1 >/dev/null | tail -1)
    echo "memory: fmutil convert $what: $kb KiB at most"
done
