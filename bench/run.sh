#!/usr/bin/env bash
# Times each tool against its physical-limit anchor on generated data,
# alternating the two in one run, and reports medians of wall time and of
# user+sys CPU time, their ratios and the tool's peak memory; then the tool
# alone under each instruction set this CPU runs (KMERTOOLS_SIMD).
# Compressed data is timed against the standard decompressors and
# compressors (igzip from Debian's isal, zstd).
#   bench/run.sh [BUILD_DIR] [seedtiler|sigsieve|cohortmeans|genome|reads|unitigs ...]
# BUILD_DIR defaults to build/release (cmake --preset release && cmake --build --preset release).
# RUNS (default 11) sets the number of alternations. BASELINE=DIR, the build
# directory of an earlier version, also times each tool against that
# version's on the same plain files, e.g.
#   git worktree add /tmp/base HEAD~1 && cmake --preset release -S /tmp/base -B /tmp/base/build \
#     && cmake --build /tmp/base/build && BASELINE=/tmp/base/build bench/run.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build/release}" && pwd)
shift || true
tools=("$@")
[ ${#tools[@]} -gt 0 ] || tools=(seedtiler sigsieve cohortmeans genome reads unitigs)
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

# timed FILE CMD: runs CMD (output to /dev/null) and appends "wall cpu" in ms to FILE;
# PREPARE, when set, runs untimed before it (sync: no run pays for the last one's
# output still being written back).
timed() {
    local file=$1 cmd=$2 t
    [ -z "${PREPARE:-}" ] || eval "$PREPARE"
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
    for set in scalar sse2 avx2 avx512 avx512vbmi2; do
        KMERTOOLS_SIMD=$set "$build/seedtiler/seedtiler" --version >/dev/null 2>&1 || {
            echo "$name [$set]: not supported on this CPU"; continue; }
        RUNS=$(( runs < 5 ? runs : 5 )) compare "$name [$set]" "$dir" "KMERTOOLS_SIMD=$set $tool" "$anchor"
    done
}

# against_baseline NAME DIR ARGS: the tool against the same tool of $BASELINE.
against_baseline() {
    [ -n "${BASELINE:-}" ] || return 0
    local name=$1 dir=$2 args=$3
    compare "$name $args [vs baseline]" "$dir" "$build/$name/$name $args" "$BASELINE/$name/$name $args"
}

# with TOOL: whether the command exists (else says what to install).
with() {
    command -v "$1" >/dev/null && return 0
    echo "(skipped: $1 not found; Debian package $2)"
    return 1
}

# codec gz|zst: sets $make (compresses a file to standard output) and $undo
# (its decompressor, the anchor); fails when the decompressor is missing.
codec() {
    if [ "$1" = gz ]; then
        with igzip isal || return 1
        make="gzip -6 -c"; undo="igzip -dc"
    else
        with zstd zstd || return 1
        make="zstd -3 -q -c"; undo="zstd -dc"
    fi
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
        against_baseline seedtiler "$d" ""
        # Another k, and the same seeds as FASTA wrapped at 60 columns.
        (cd "$d" && "$build/seedtiler/seedtiler" -k 21 -o same-size-21.txt)
        compare "seedtiler -k 21" "$d" "$build/seedtiler/seedtiler -k 21" "cat same-size-21.txt > copy.txt"
        [ -s "$d/seed.fa" ] || awk '{ print ">seed" NR; for (i = 1; i <= length($0); i += 60) print substr($0, i, 60) }' \
            "$d/seed.txt" >"$d/seed.fa"
        compare "seedtiler --fasta" "$d" "$build/seedtiler/seedtiler --fasta -i seed.fa" "cat same-size.txt > copy.txt"
        if with zstd zstd; then
            compare "seedtiler -o .zst" "$d" "$build/seedtiler/seedtiler -o copy.txt.zst" \
                "zstd -3 -c same-size.txt > /dev/null"
        fi
        # BGZF output against bgzip on two threads at level 1.
        if with bgzip tabix; then
            for threads in 0 1 2 3; do
                compare "seedtiler -@$threads -o .gz" "$d" \
                    "$build/seedtiler/seedtiler -@$threads -o copy.txt.gz" \
                    "bgzip -@ 2 -l 1 -c same-size.txt > /dev/null"
            done
            against_baseline seedtiler "$d" "-@1 -o copy.txt.gz"
            echo "  .gz sizes: ours $(wc -c <"$d/copy.txt.gz"), bgzip -l 1 $(bgzip -l 1 -c "$d/same-size.txt" | wc -c)"
            # Each gzip level against bgzip's same level, on a fifth of the
            # seeds: wall time and size (the sizes must not grow with the level).
            lv=$d/levels; mkdir -p "$lv"
            head -n "$(( $(wc -l <"$d/seed.txt") / 5 ))" "$d/seed.txt" >"$lv/seed.txt"
            (cd "$lv" && "$build/seedtiler/seedtiler" -o same-size.txt)
            for level in 0 1 2 3 4 5 6 7 8 9; do
                RUNS=$(( runs < 3 ? runs : 3 )) compare "seedtiler -@1 -l $level" "$lv" \
                    "$build/seedtiler/seedtiler -@1 --compress-level=$level -o copy.txt.gz" \
                    "bgzip -@ 2 -l $level -c same-size.txt > copy.bgz"
                echo "  level $level sizes: ours $(wc -c <"$lv/copy.txt.gz"), bgzip $(wc -c <"$lv/copy.bgz")"
            done
            rm -rf "$lv"
        fi
        rm -f "$d/copy.txt.gz"
        rm -f "$d/copy.txt" "$d/copy.txt.zst" ;;
    sigsieve)
        d=$data/sigsieve; mkdir -p "$d"
        [ -s "$d/control_out_wo_bonf.kmerDiff" ] || (cd "$d" && "$build/bench/gen_data" sigsieve)
        echo "sigsieve: $(cat "$d"/*.kmerDiff | wc -c) bytes in"
        anchor="wc -l case_out_wo_bonf.kmerDiff control_out_wo_bonf.kmerDiff"
        compare sigsieve "$d" "$build/sigsieve/sigsieve" "$anchor"
        per_set sigsieve "$d" "$build/sigsieve/sigsieve" "$anchor"
        against_baseline sigsieve "$d" ""
        against_baseline sigsieve "$d" "-@1"
        against_baseline sigsieve "$d" "-m bh"
        against_baseline sigsieve "$d" "-m bh --report=r.tsv --qq-plot=q.svg"
        # Every other correction against the default on the same files, and
        # its passes on an extra thread against one.
        for m in bh holm by hochberg sidak sidak-sd storey; do
            compare "sigsieve -m $m" "$d" "$build/sigsieve/sigsieve -m $m" "$build/sigsieve/sigsieve"
            compare "sigsieve -m $m -@1" "$d" "$build/sigsieve/sigsieve -m $m -@1" "$build/sigsieve/sigsieve -m $m"
        done
        # The table of the passing records (its memory: the peak column).
        compare "sigsieve -m bh --table" "$d" "$build/sigsieve/sigsieve -m bh --table=t.tsv" \
            "$build/sigsieve/sigsieve -m bh"
        # Record work on more threads, against one.
        for threads in 1 2 3; do
            compare "sigsieve -@$threads" "$d" "$build/sigsieve/sigsieve -@$threads" "$build/sigsieve/sigsieve"
        done
        # A BGZF input decoded on the threads, against igzip on one.
        if with bgzip tabix && with igzip isal; then
            for f in case control; do
                [ -s "$d/$f.kmerDiff.bgz" ] || bgzip -l 6 -c "$d/${f}_out_wo_bonf.kmerDiff" >"$d/$f.kmerDiff.bgz"
            done
            for threads in 0 1 2 3; do
                compare "sigsieve .bgz -@$threads" "$d" \
                    "$build/sigsieve/sigsieve --case=case.kmerDiff.bgz --control=control.kmerDiff.bgz -@$threads" \
                    "igzip -dc case.kmerDiff.bgz control.kmerDiff.bgz > /dev/null"
            done
            against_baseline sigsieve "$d" "--case=case.kmerDiff.bgz --control=control.kmerDiff.bgz -@1"
        fi
        # zstd of many frames (pzstd), decoded a frame per task.
        if with pzstd zstd; then
            for f in case control; do
                [ -s "$d/$f.kmerDiff.pz.zst" ] || pzstd -q -p 2 -3 -c "$d/${f}_out_wo_bonf.kmerDiff" >"$d/$f.kmerDiff.pz.zst"
            done
            for threads in 0 1; do
                compare "sigsieve pzstd -@$threads" "$d" \
                    "$build/sigsieve/sigsieve --case=case.kmerDiff.pz.zst --control=control.kmerDiff.pz.zst -@$threads" \
                    "zstd -dc case.kmerDiff.pz.zst control.kmerDiff.pz.zst > /dev/null"
            done
        fi
        for z in gz zst; do
            codec $z || continue
            for f in case control; do
                [ -s "$d/$f.kmerDiff.$z" ] || $make "$d/${f}_out_wo_bonf.kmerDiff" >"$d/$f.kmerDiff.$z"
            done
            run="$build/sigsieve/sigsieve --case=case.kmerDiff.$z --control=control.kmerDiff.$z"
            for threads in 0 1; do
                compare "sigsieve .$z -@$threads" "$d" "$run -@$threads" \
                    "$undo case.kmerDiff.$z control.kmerDiff.$z > /dev/null"
            done
            against_baseline sigsieve "$d" "--case=case.kmerDiff.$z --control=control.kmerDiff.$z -@1"
        done ;;
    cohortmeans)
        d=$data/cohortmeans; mkdir -p "$d"
        [ -s "$d/test.txt" ] || (cd "$d" && "$build/bench/gen_data" cohort)
        echo "cohortmeans: $(wc -c <"$d/test.txt") bytes in"
        compare cohortmeans "$d" "$build/cohortmeans/cohortmeans 100 100" "wc -l test.txt"
        per_set cohortmeans "$d" "$build/cohortmeans/cohortmeans 100 100" "wc -l test.txt"
        against_baseline cohortmeans "$d" "100 100"
        # The per-sample report and the spectrum in the same pass, against
        # the plain run.
        for threads in 0 1; do
            compare "cohortmeans --report -@$threads" "$d" \
                "$build/cohortmeans/cohortmeans -@$threads --report=report.tsv --spectrum=spectrum.tsv 100 100" \
                "$build/cohortmeans/cohortmeans -@$threads 100 100"
        done
        # More threads on a larger table (the rows six times over), where
        # the start of a run no longer dominates.
        [ -s "$d/big.txt" ] || for i in 1 2 3 4 5 6; do cat "$d/test.txt"; done >"$d/big.txt"
        # The larger table compressed, against its decompressor alone.
        for z in gz zst; do
            codec $z || continue
            [ -s "$d/big.txt.$z" ] || $make "$d/big.txt" >"$d/big.txt.$z"
            for threads in 0 1; do
                compare "cohortmeans .$z -@$threads" "$d" \
                    "$build/cohortmeans/cohortmeans -i big.txt.$z -@$threads 100 100" "$undo big.txt.$z > /dev/null"
            done
        done
        against_baseline cohortmeans "$d" "-i big.txt -@1 100 100"
        for threads in 1 2 3; do
            compare "cohortmeans -@$threads big" "$d" "$build/cohortmeans/cohortmeans -i big.txt -@$threads 100 100" \
                "$build/cohortmeans/cohortmeans -i big.txt 100 100"
        done ;;
    genome)
        # seedtiler's k-mer sets on a genome-like FASTA (50 Mbp), against
        # the pipeline through sort and against KMC building the same set.
        d=$data/genome; mkdir -p "$d"
        [ -s "$d/genome.fa" ] || (cd "$d" && "$build/bench/gen_data" genome)
        few=$(( runs < 3 ? runs : 3 ))
        export PREPARE=sync
        set="$build/seedtiler/seedtiler --fasta --upper --canonical --acgt-only -i genome.fa"
        for k in 21 31 63; do
            RUNS=$few compare "seedtiler --unique -k $k" "$d" "$set --unique -k $k -@ 1 -o set.txt" \
                "$set -k $k -o - | LC_ALL=C sort -u -S 1G --parallel=2 > sorted.txt"
            cmp -s "$d/set.txt" "$d/sorted.txt" || echo "  DIFFERENT from sort -u"
            if with kmc kmc; then
                mkdir -p "$d/kmc"
                RUNS=$few compare "seedtiler --unique -k $k [vs KMC]" "$d" "$set --unique -k $k -@ 1 -o set.txt" \
                    "kmc -k$k -ci1 -t2 -fm genome.fa kmc/db kmc >/dev/null 2>&1 && kmc_tools transform kmc/db dump -s kmc/dump.txt >/dev/null 2>&1"
                cut -f1 "$d/kmc/dump.txt" | cmp -s - "$d/set.txt" || echo "  DIFFERENT from KMC's set"
            fi
            # The share of the time spent writing the output.
            RUNS=$few compare "seedtiler --unique -k $k [no output]" "$d" \
                "$set --unique -k $k -@ 1 -o /dev/null" "$set --unique -k $k -@ 1 -o set.txt"
        done
        RUNS=$few compare "seedtiler --unique -S 64M" "$d" "$set --unique -k 31 -S 64M -@ 1 -o small.txt" \
            "$set --unique -k 31 -@ 1 -o set.txt"
        cmp -s "$d/small.txt" "$d/set.txt" || echo "  -S 64M DIFFERS"
        unset PREPARE
        rm -rf "$d"/set.txt "$d"/sorted.txt "$d"/small.txt "$d/kmc" ;;
    reads)
        # seedtiler's k-mer counts of sequencing reads (150 bp at 20x of a
        # 10 Mbp genome-like sequence, 0.5% errors), against KMC's count
        # and sorted dump, and jellyfish's for reference; the same lines.
        d=$data/reads; mkdir -p "$d"
        [ -s "$d/reads.fq" ] || (cd "$d" && "$build/bench/gen_data" reads)
        few=$(( runs < 3 ? runs : 3 ))
        export PREPARE=sync
        count="$build/seedtiler/seedtiler --fasta --upper --canonical --acgt-only --count -@ 1 -i reads.fq"
        if with kmc kmc; then
            for k in 21 31; do
                for min in 1 2; do
                    rm -rf "$d/kmc"; mkdir -p "$d/kmc"
                    RUNS=$few compare "seedtiler --count -k $k --min-count $min [vs KMC]" "$d" \
                        "$count -k $k --min-count $min -o counts.txt" \
                        "rm -rf kmc/* && kmc -k$k -ci$min -cs4294967295 -t2 -fq reads.fq kmc/db kmc >/dev/null 2>&1 && kmc_tools transform kmc/db dump -s kmc/dump.txt >/dev/null 2>&1"
                    cmp -s "$d/kmc/dump.txt" "$d/counts.txt" || echo "  DIFFERENT from KMC's dump"
                done
            done
        fi
        if with jellyfish jellyfish; then
            RUNS=1 compare "seedtiler --count -k 31 [vs jellyfish]" "$d" "$count -k 31 -o counts.txt" \
                "jellyfish count -C -m 31 -s 100M -t 2 -o jf.db reads.fq && jellyfish dump -c jf.db | tr ' ' '\t' | LC_ALL=C sort -S 1G --parallel=2 > jf.txt"
            cmp -s "$d/jf.txt" "$d/counts.txt" || echo "  DIFFERENT from jellyfish's dump"
        fi
        RUNS=$few compare "seedtiler --count -S 64M" "$d" "$count -k 31 -S 64M -o small.txt" \
            "$count -k 31 -o counts.txt"
        cmp -s "$d/small.txt" "$d/counts.txt" || echo "  -S 64M DIFFERS"
        unset PREPARE
        rm -rf "$d"/counts.txt "$d"/small.txt "$d"/jf.db "$d"/jf.txt "$d/kmc" ;;
    unitigs)
        # sigsieve --unitigs: the extra time on 510,000 passing 31-mers
        # (3,000 sequences of 200 bases, shuffled) against bcalm on the
        # same k-mers, and on a run of 10,000,000 records of which
        # 1,000,000 pass, against the same run without --unitigs.
        d=$data/unitigs; mkdir -p "$d"
        [ -s "$d/mixed.kmerDiff" ] || (cd "$d" && "$build/bench/gen_data" unitigs)
        sieve="$build/sigsieve/sigsieve --control=none.kmerDiff --control-out=/dev/null"
        compare "sigsieve --unitigs 510k" "$d" "$sieve --case=hits.kmerDiff --case-out=hits.fa --unitigs=hits.unitigs.fa" \
            "$sieve --case=hits.kmerDiff --case-out=hits.fa"
        if with bcalm bcalm; then
            RUNS=$(( runs < 3 ? runs : 3 )) compare "sigsieve --unitigs [vs bcalm]" "$d" \
                "$sieve --case=hits.kmerDiff --case-out=hits.fa --unitigs=hits.unitigs.fa" \
                "bcalm -in hits.fa -kmer-size 31 -abundance-min 1 -nb-cores 2 -out bcalm 2>/dev/null"
            # The same unitigs, each as the smaller of it and its reverse complement.
            canonical='!/^>/ { r = ""; for (i = length($0); i > 0; --i) r = r substr("TGCA", index("ACGT", substr($0, i, 1)), 1); print ($0 < r ? $0 : r) }'
            cmp -s <(awk "$canonical" "$d/bcalm.unitigs.fa" | LC_ALL=C sort) \
                <(awk "$canonical" "$d/hits.unitigs.fa" | LC_ALL=C sort) ||
                echo "  DIFFERENT from bcalm's unitigs"
            # What --unitigs adds to the run, against bcalm's whole time.
            awk -v with="$(cut -d' ' -f1 "$data/sigsieve --unitigs 510k.tool" | median)" \
                -v without="$(cut -d' ' -f1 "$data/sigsieve --unitigs 510k.anchor" | median)" \
                -v bcalm="$(cut -d' ' -f1 "$data/sigsieve --unitigs [vs bcalm].anchor" | median)" \
                'BEGIN { printf "%-22s extra %.1f ms vs bcalm %.1f ms: ratio %.3f\n", "sigsieve --unitigs", with - without, bcalm, (with - without) / bcalm }'
        fi
        RUNS=$(( runs < 5 ? runs : 5 )) compare "sigsieve --unitigs 1M of 10M" "$d" \
            "$sieve --case=mixed.kmerDiff --case-out=mixed.fa --unitigs=mixed.unitigs.fa" \
            "$sieve --case=mixed.kmerDiff --case-out=mixed.fa"
        # All 10,000,000 passing (p-values of 10 characters): the peak memory.
        [ -s "$d/all.kmerDiff" ] ||
            awk -F'\t' 'BEGIN { OFS = "\t" } { $4 = "1.2345e-" (10 + NR % 10); print }' \
                "$d/mixed.kmerDiff" >"$d/all.kmerDiff"
        RUNS=1 compare "sigsieve --unitigs 10M of 10M" "$d" \
            "$sieve --case=all.kmerDiff --case-out=all.fa --unitigs=all.unitigs.fa" \
            "$sieve --case=all.kmerDiff --case-out=all.fa"
        echo "  (without --unitigs: peak $(cd "$d" && peak_kib $sieve --case=all.kmerDiff --case-out=all.fa) KiB)"
        rm -f "$d"/*.fa "$d"/bcalm.* ;;
    *) echo "unknown tool: $tool" >&2; exit 2 ;;
    esac
done
