#!/usr/bin/env bash
# Times each tool against its physical-limit anchor on generated data,
# alternating the two in one run, and reports medians, their ratio and the
# tool's peak memory.
#   bench/run.sh [BUILD_DIR] [seedtiler|sigsieve|cohortmeans ...]
# BUILD_DIR defaults to build/release (cmake --preset release && cmake --build --preset release).
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

# compare NAME DIR TOOL_CMD ANCHOR_CMD: alternate the two commands $runs times in DIR.
compare() {
    local name=$1 dir=$2 tool=$3 anchor=$4 t a i start
    : >"$data/$name.tool"
    : >"$data/$name.anchor"
    local here=$PWD
    cd "$dir"
    eval "$tool" >/dev/null && eval "$anchor" >/dev/null  # warm-up
    for ((i = 0; i < runs; i++)); do
        start=${EPOCHREALTIME/[.,]/}; eval "$tool" >/dev/null; echo $((${EPOCHREALTIME/[.,]/} - start)) >>"$data/$name.tool"
        start=${EPOCHREALTIME/[.,]/}; eval "$anchor" >/dev/null; echo $((${EPOCHREALTIME/[.,]/} - start)) >>"$data/$name.anchor"
    done
    cd "$here"
    t=$(median <"$data/$name.tool")
    a=$(median <"$data/$name.anchor")
    local mem
    mem=$(cd "$dir" && peak_kib sh -c "$tool")
    awk -v n="$name" -v t="$t" -v a="$a" -v m="$mem" -v r="$runs" -v anchor="$anchor" 'BEGIN {
        printf "%-12s tool %8.1f ms   anchor (%s) %8.1f ms   ratio %.2f   peak %s KiB   (median of %d)\n",
               n, t / 1e3, anchor, a / 1e3, t / a, m, r }'
}

for tool in "${tools[@]}"; do
    case $tool in
    seedtiler)
        d=$data/seedtiler; mkdir -p "$d"
        [ -s "$d/seed.txt" ] || (cd "$d" && "$build/bench/gen_data" seed)
        (cd "$d" && "$build/seedtiler/seedtiler" && cp kmers.txt same-size.txt)
        echo "seedtiler: $(wc -c <"$d/seed.txt") bytes in, $(wc -c <"$d/kmers.txt") bytes out"
        compare seedtiler "$d" "$build/seedtiler/seedtiler" "cat same-size.txt > copy.txt"
        rm -f "$d/copy.txt" ;;
    sigsieve)
        d=$data/sigsieve; mkdir -p "$d"
        [ -s "$d/control_out_wo_bonf.kmerDiff" ] || (cd "$d" && "$build/bench/gen_data" sigsieve)
        echo "sigsieve: $(cat "$d"/*.kmerDiff | wc -c) bytes in"
        compare sigsieve "$d" "$build/sigsieve/sigsieve" "wc -l case_out_wo_bonf.kmerDiff control_out_wo_bonf.kmerDiff" ;;
    cohortmeans)
        d=$data/cohortmeans; mkdir -p "$d"
        [ -s "$d/test.txt" ] || (cd "$d" && "$build/bench/gen_data" cohort)
        echo "cohortmeans: $(wc -c <"$d/test.txt") bytes in"
        compare cohortmeans "$d" "$build/cohortmeans/cohortmeans 100 100" "wc -l test.txt" ;;
    *) echo "unknown tool: $tool" >&2; exit 2 ;;
    esac
done
