#!/bin/bash
# What the commit protocol costs whole processes, against the same commands
# of an earlier fmutil and the standard tools, in one run:
#
#   mv      fmutil mv F G within a folder of FILES files, each with a resource
#           fork (a sidecar), BATCH files in turn   vs  mv F G (no fork to take)
#   swap    fmutil swap A B, BATCH times (two files with forks and comments)
#   replace fmutil cp S --replace T, BATCH times
#   rsrc    fmutil rsrc F --set BYTES of a 256 MiB fork  vs  cp BYTES COPY
#
# Each round runs every program once, in turn, so that a load that comes and
# goes is shared; the medians of ROUNDS rounds are compared.
#
# usage: bench/commit_bench.sh OURS BASE [WORKDIR]
#   OURS, BASE  two fmutil programs (release builds): this one and the earlier
#   WORKDIR     where the trees are made (default: a new directory in /tmp)
# Environment: ROUNDS (default 5), FILES (default 10000), BATCH (default 200).
# Prints, per pair, the median wall-clock and CPU (user + system) time of
# each program and the ratios ours / earlier and ours / standard tool.
set -eu
ours=$1
base=$2
work=${3:-$(mktemp -d /tmp/commit-bench.XXXXXX)}
rounds=${ROUNDS:-5}
files=${FILES:-10000}
batch=${BATCH:-200}
mkdir -p "$work"

# Seconds (wall, cpu) of running "$@" once.
measure() {
    /usr/bin/time -o "$work/time.out" -f '%e %U %S' "$@" >/dev/null 2>&1 || true
    awk '{ printf "%s %.3f\n", $1, $2 + $3 }' "$work/time.out"
}

median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

# A folder of $files files with forks (the sidecar copied, as cp -a would).
make_folder() {
    local d=$1 f
    rm -rf "$d"
    mkdir -p "$d"
    echo data >"$d/f0"
    head -c 1000 /dev/urandom >"$work/fork1k"
    "$ours" rsrc "$d/f0" --set "$work/fork1k"
    for ((f = 1; f < files; ++f)); do
        : >"$d/f$f"
        cp "$d/._f0" "$d/._f$f"
    done
}

# The loops each program runs, as scripts of their own.
cat >"$work/mv.sh" <<'EOF'
#!/bin/bash
# mv.sh PROGRAM DIR BATCH FROM TO: renames FROM0.. to TO0.. in DIR.
for ((i = 0; i < $3; ++i)); do
    if [ "$1" = mv ]; then mv "$2/$4$i" "$2/$5$i"; else "$1" mv "$2/$4$i" "$2/$5$i"; fi
done
EOF
cat >"$work/swap.sh" <<'EOF'
#!/bin/bash
for ((i = 0; i < $3; ++i)); do "$1" swap "$2/A" "$2/B"; done
EOF
cat >"$work/replace.sh" <<'EOF'
#!/bin/bash
for ((i = 0; i < $3; ++i)); do "$1" cp "$2/S" --replace "$2/T"; done
EOF
chmod +x "$work"/*.sh

declare -A wall cpu
record() {  # record KEY WALL CPU
    wall[$1]+="$2 "
    cpu[$1]+="$3 "
}

echo "making a folder of $files files with forks ..."
make_folder "$work/many"
pair_dir="$work/pair"
mkdir -p "$pair_dir"
for n in A B S T; do
    echo "data of $n" >"$pair_dir/$n"
    head -c 4000 /dev/urandom >"$work/fork4k"
    "$ours" rsrc "$pair_dir/$n" --set "$work/fork4k"
    "$ours" comment "$pair_dir/$n" --set "comment of $n"
done
head -c $((256 << 20)) /dev/urandom >"$work/fork256m"
echo "data" >"$work/big"
sync

# The mv loop renames f0.. to g0.. and back: every round starts as the last.
from=f
to=g
for ((r = 0; r < rounds; ++r)); do
    for prog in ours base mv; do
        p=$prog
        [ "$prog" = ours ] && p=$ours
        [ "$prog" = base ] && p=$base
        read -r w c < <(measure "$work/mv.sh" "$p" "$work/many" "$batch" "$from" "$to")
        record "mv-$prog" "$w" "$c"
        t=$from
        from=$to
        to=$t
    done
    for prog in ours base; do
        p=$ours
        [ "$prog" = base ] && p=$base
        read -r w c < <(measure "$work/swap.sh" "$p" "$pair_dir" "$batch")
        record "swap-$prog" "$w" "$c"
        read -r w c < <(measure "$work/replace.sh" "$p" "$pair_dir" "$batch")
        record "replace-$prog" "$w" "$c"
        read -r w c < <(measure "$p" rsrc "$work/big" --set "$work/fork256m")
        record "rsrc-$prog" "$w" "$c"
    done
    rm -f "$work/copy256m"
    read -r w c < <(measure cp "$work/fork256m" "$work/copy256m")
    record "rsrc-cp" "$w" "$c"
done

med() { tr ' ' '\n' <<<"$1" | grep . | median; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
printf '%-8s %-9s %10s %10s\n' pair program wall_s cpu_s
for pair in mv swap replace rsrc; do
    for prog in ours base mv cp; do
        key="$pair-$prog"
        [ -n "${wall[$key]:-}" ] || continue
        printf '%-8s %-9s %10s %10s\n' "$pair" "$prog" "$(med "${wall[$key]}")" \
            "$(med "${cpu[$key]}")"
    done
    printf '%-8s ours/base wall %s cpu %s' "$pair" \
        "$(ratio "$(med "${wall[$pair-ours]}")" "$(med "${wall[$pair-base]}")")" \
        "$(ratio "$(med "${cpu[$pair-ours]}")" "$(med "${cpu[$pair-base]}")")"
    for peer in mv cp; do
        [ -n "${wall[$pair-$peer]:-}" ] || continue
        printf '; ours/%s wall %s cpu %s' "$peer" \
            "$(ratio "$(med "${wall[$pair-ours]}")" "$(med "${wall[$pair-$peer]}")")" \
            "$(ratio "$(med "${cpu[$pair-ours]}")" "$(med "${cpu[$pair-$peer]}")")"
    done
    echo
done
[ -n "${3:-}" ] || rm -rf "$work"
