#!/bin/sh
# Runs the tools on the example inputs in a scratch directory and shows what
# they wrote. Usage: demo.sh EXAMPLES_DIR SCRATCH_DIR, with the tools' paths
# in SEEDTILER, SIGSIEVE and COHORTMEANS (those unset are skipped).
set -eu
examples=$1
scratch=$2
rm -rf "$scratch"
mkdir -p "$scratch"
cp "$examples"/seed.txt "$scratch"/
[ -e "$examples"/total_kmers.txt ] && cp "$examples"/total_kmers.txt "$examples"/*.kmerDiff "$scratch"/
[ -e "$examples"/test.txt ] && cp "$examples"/test.txt "$scratch"/
cd "$scratch"

show() {
    echo "--- $1 ($(wc -l <"$1") lines)"
    head -n "$2" "$1"
    [ "$(wc -l <"$1")" -le "$2" ] || echo "..."
}

if [ -n "${SEEDTILER:-}" ]; then
    echo "== seedtiler: seed.txt -> kmers.txt"
    "$SEEDTILER"
    show kmers.txt 6
    echo "== the same from gzip-compressed seeds through a pipe, into kmers.txt.zst"
    gzip -c seed.txt | "$SEEDTILER" -i - -o kmers.txt.zst
    if zstd -dc kmers.txt.zst | cmp -s - kmers.txt; then
        echo "kmers.txt.zst holds the same k-mers"
    else
        echo "kmers.txt.zst differs" >&2
        exit 1
    fi
fi
if [ -n "${SIGSIEVE:-}" ]; then
    echo "== sigsieve: total_kmers.txt ($(cat total_kmers.txt)) + *.kmerDiff -> *_sig.fasta"
    "$SIGSIEVE"
    show case_out_sig.fasta 6
    show control_out_sig.fasta 6
    echo "== sigsieve --method=bh --report=report.tsv --qq-plot=qq.svg (Benjamini-Hochberg)"
    "$SIGSIEVE" --method=bh --case-out=case_bh.fasta --control-out=control_bh.fasta \
        --report=report.tsv --qq-plot=qq.svg
    show case_bh.fasta 4
    show report.tsv 4
    echo "--- qq.svg: $(wc -c <qq.svg) bytes of SVG"
    echo "== sigsieve --method=storey --table=hits.tsv --report=storey.tsv --hist-plot=hist.svg"
    "$SIGSIEVE" --method=storey --case-out=case_storey.fasta --control-out=control_storey.fasta \
        --table=hits.tsv --report=storey.tsv --hist-plot=hist.svg
    show hits.tsv 6
    show storey.tsv 4
    echo "--- hist.svg: $(wc -c <hist.svg) bytes of SVG"
fi
if [ -n "${COHORTMEANS:-}" ]; then
    echo "== cohortmeans 3 3: test.txt -> mean value, case total, control total, cases present, controls present"
    "$COHORTMEANS" 3 3
    echo "== cohortmeans -i - 3 3 < test.txt"
    "$COHORTMEANS" -i - 3 3 <test.txt
fi
echo "== outputs are in $scratch"
