#!/usr/bin/env bash
# Times each tool against its physical-limit anchor on generated data,
# alternating the two in one run, and reports medians of wall time and of
# user+sys CPU time, their ratios and the tool's peak memory; then the tool
# alone under each instruction set this CPU runs (KMERTOOLS_SIMD).
#   bench/run.sh [BUILD_DIR] [seedtiler|sigsieve|cohortmeans ...]
# BUILD_DIR defaults to build/release (cmake --preset release && cmake --build --preset release).
# RUNS (default 11) sets the number of alternations.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build/release}" && pwd)
shift || true
tools=("$@")
[ ${#tools[@]} -gt 0 ] || tools=(seedtiler sigsieve cohortmeans)
runs=${RUNS:-11}
data=$build/bench-data
mkdir -p "$data"

# median of the numbers on standard input
median() { sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

peak_kib() {  # peak resident memory of a command, in KiB
    if [ -x /usr/bin/time ]; then
        /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1
    else
        echo "?"
    fi
}

# timed FILE CMD: runs CMD (output to /dev/null) and appends "wall cpu" in ms to FILE.
timed() {
    local file=$1 cmd=$2 t
    t=$( { TIMEFORMAT='%R %U %S'; time eval "$cmd" >/dev/null 2>&1; } 2>&1 )
    awk -v t="$t" 'BEGIN { split(t, f, " "); printf "%.1f %.1f\n", f[1] * 1000, (f[2] + f[3]) * 1000 }' >>"$file"
}

# compare NAME DIR TOOL_CMD ANCHOR_CMD: alternate the two commands $runs times in DIR.
compare() {
    local name=$1 dir=$2 tool=$3 anchor=$4 i
    : >"$data/$name.tool"
    : >"$data/$name.anchor"
    (
        cd "$dir"
        eval "$tool" >/dev/null && eval "$anchor" >/dev/null  # warm-up
        for ((i = 0; i < runs; i++)); do
            timed "$data/$name.tool" "$tool"
            timed "$data/$name.anchor" "$anchor"
        done
    )
    local tw tc aw ac mem
    tw=$(cut -d' ' -f1 "$data/$name.tool" | median); tc=$(cut -d' ' -f2 "$data/$name.tool" | median)
    aw=$(cut -d' ' -f1 "$data/$name.anchor" | median); ac=$(cut -d' ' -f2 "$data/$name.anchor" | median)
    mem=$(cd "$dir" && peak_kib sh -c "$tool")
    awk -v n="$name" -v tw="$tw" -v tc="$tc" -v aw="$aw" -v ac="$ac" -v m="$mem" -v r="$runs" -v anchor="$anchor" 'BEGIN {
        printf "%-22s wall %7.1f ms vs %7.1f ms: ratio %.2f   cpu %7.1f ms vs %7.1f ms: ratio %.2f   peak %s KiB\n",
               n, tw, aw, tw / aw, tc, ac, (ac > 0 ? tc / ac : 0), m
        printf "%-22s (anchor: %s; medians of %d)\n", "", anchor, r }'
}

# per_set NAME DIR TOOL_CMD ANCHOR_CMD: compare under each instruction set in turn.
per_set() {
    local name=$1 dir=$2 tool=$3 anchor=$4 set
    for set in scalar sse2 avx2 avx512; do
        KMERTOOLS_SIMD=$set "$build/seedtiler/seedtiler" --version >/dev/null 2>&1 || {
            echo "$name [$set]: not supported on this CPU"; continue; }
        RUNS=$(( runs < 5 ? runs : 5 )) compare "$name [$set]" "$dir" "KMERTOOLS_SIMD=$set $tool" "$anchor"
    done
}

for tool in "${tools[@]}"; do
    case $tool in
    seedtiler)
        d=$data/seedtiler; mkdir -p "$d"
        [ -s "$d/seed.txt" ] || (cd "$d" && "$build/bench/gen_data" seed)
        (cd "$d" && "$build/seedtiler/seedtiler" && cp kmers.txt same-size.txt)
        echo "seedtiler: $(wc -c <"$d/seed.txt") bytes in, $(wc -c <"$d/kmers.txt") bytes out"
        compare seedtiler "$d" "$build/seedtiler/seedtiler" "cat same-size.txt > copy.txt"
        per_set seedtiler "$d" "$build/seedtiler/seedtiler" "cat same-size.txt > copy.txt"
        rm -f "$d/copy.txt" ;;
    sigsieve)
        d=$data/sigsieve; mkdir -p "$d"
        [ -s "$d/control_out_wo_bonf.kmerDiff" ] || (cd "$d" && "$build/bench/gen_data" sigsieve)
        echo "sigsieve: $(cat "$d"/*.kmerDiff | wc -c) bytes in"
        anchor="wc -l case_out_wo_bonf.kmerDiff control_out_wo_bonf.kmerDiff"
        compare sigsieve "$d" "$build/sigsieve/sigsieve" "$anchor"
        per_set sigsieve "$d" "$build/sigsieve/sigsieve" "$anchor" ;;
    cohortmeans)
        d=$data/cohortmeans; mkdir -p "$d"
        [ -s "$d/test.txt" ] || (cd "$d" && "$build/bench/gen_data" cohort)
        echo "cohortmeans: $(wc -c <"$d/test.txt") bytes in"
        compare cohortmeans "$d" "$build/cohortmeans/cohortmeans 100 100" "wc -l test.txt"
        per_set cohortmeans "$d" "$build/cohortmeans/cohortmeans 100 100" "wc -l test.txt" ;;
    *) echo "unknown tool: $tool" >&2; exit 2 ;;
    esac
done
