#!/usr/bin/env bash
# Runs the example workflow with Snakemake in a scratch directory and checks
# that every output equals a direct run of the same command; then shows the
# sigsieve and cohortmeans reports to MultiQC and checks that its data holds
# each section and the report's values, shown in their formats. Each part is skipped, saying so, when its program
# (Debian package snakemake, multiqc) is not installed.
#   examples/workflow/check.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
export PATH="$build/seedtiler:$build/sigsieve:$build/cohortmeans:$PATH"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kmertools-workflow-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
fail() { echo "workflow check: $*" >&2; exit 1; }
setting() { sed -n "s/^$1: *\([^ #]*\).*/\1/p" "$here/config.yaml"; }
data() { echo "$here/$(setting "$1")"; }

# The same commands the workflow runs, one thread each.
direct=$scratch/direct/results
mkdir -p "$direct"
seedtiler --fasta -k "$(setting k)" -i "$(data seeds)" -o "$direct/kmers.txt.gz"
sigsieve -m "$(setting method)" -a "$(setting alpha)" --total-file="$(data total)" \
    --case="$(data case)" --control="$(data control)" \
    --case-out="$direct/case_sig.fasta" --control-out="$direct/control_sig.fasta" \
    --table="$direct/hits.tsv" --report="$direct/sigsieve_mqc.json" \
    --qq-plot="$direct/qq.svg" --hist-plot="$direct/hist.svg" --unitigs="$direct/unitigs.gfa"
cohortmeans -i "$(data counts)" --report="$direct/cohortmeans_mqc.json" \
    --spectrum="$direct/spectrum.tsv" --spectrum-plot="$direct/spectrum.svg" \
    "$(setting cases)" "$(setting controls)" >"$direct/means.csv"
samples=$(sed -n 's/^samples: *\([^#]*\).*/\1/p' "$here/config.yaml")
for sample in $samples; do
    pair() { local p; p=$(setting reads); p=${p//\{sample\}/$sample}; echo "$here/${p//\{pair\}/$1}"; }
    seedtiler --fasta --upper --canonical --acgt-only --count --min-count "$(setting min_count)" \
        -k "$(setting count_k)" -i "$(pair 1)" -i "$(pair 2)" -o "$direct/counts_$sample.txt.gz"
done

if command -v snakemake >/dev/null; then
    snakemake --cores 2 --quiet -s "$here/Snakefile" --directory "$scratch/workflow" >"$scratch/log" 2>&1 ||
        fail "snakemake failed: $(cat "$scratch/log")"
    for f in "$direct"/*; do
        cmp -s "$f" "$scratch/workflow/results/${f##*/}" || fail "the workflow's ${f##*/} differs from the direct run's"
    done
    [ "$(ls "$scratch/workflow/results" | wc -l)" -eq "$(ls "$direct" | wc -l)" ] || fail "the workflow wrote other files"
    echo "workflow check: snakemake $(snakemake --version) wrote the direct runs' $(ls "$direct" | wc -l) files"
else
    echo "workflow check: SKIPPING the Snakemake run: snakemake not found (Debian package snakemake)"
fi

# MultiQC's own Python, whatever python stands first on PATH.
if [ -x /usr/bin/multiqc ]; then
    mkdir "$scratch/multiqc"
    cp "$direct/sigsieve_mqc.json" "$direct/cohortmeans_mqc.json" "$scratch/multiqc/"
    /usr/bin/multiqc --quiet --no-ansi -o "$scratch/multiqc/out" "$scratch/multiqc" >"$scratch/log" 2>&1 ||
        fail "multiqc failed: $(cat "$scratch/log")"
    python=$(head -n 1 /usr/bin/multiqc | sed 's/^#! *//')
    for tool in sigsieve cohortmeans; do
        $python - "$scratch/multiqc/out/multiqc_data/multiqc_data.json" "$direct/${tool}_mqc.json" "$tool" <<'EOF' ||
import json, sys
shown = json.load(open(sys.argv[1]))["report_saved_raw_data"]
report = json.load(open(sys.argv[2]))
sections = [v for k, v in shown.items() if sys.argv[3] in k]
sys.exit(0 if sections == [report["data"]] else "MultiQC holds %r, the report %r" % (shown, report["data"]))
EOF
            fail "multiqc's data does not hold the $tool report"
        grep -q "id=\"mqc-module-section-$tool\"" "$scratch/multiqc/out/multiqc_report.html" ||
            fail "multiqc's report has no $tool section"
        # The table shows every cell as the report's header says: its title,
        # and numbers in their format (not MultiQC's one decimal), NA as NA.
        $python - "$scratch/multiqc/out/multiqc_report.html" "$direct/${tool}_mqc.json" <<'EOF' ||
import json, re, sys
html = open(sys.argv[1]).read().replace('<span class="mqc_thousandSep"></span>', ",")
report = json.load(open(sys.argv[2]))
# The section's own table.
html = html.split('id="%s"' % report["pconfig"]["id"], 1)[1].split("</table>", 1)[0]
for key, header in report["headers"].items():
    if not re.search(r'<th id="header_%s"[^>]*><span[^>]*>%s<' % (key, re.escape(header["title"])), html):
        sys.exit("no header %s titled %s" % (key, header["title"]))
    cells = re.findall(r'<td class="%s ">(.*?)</td>' % key, html)
    values = [row[key] for row in report["data"].values()]
    shown = [v if isinstance(v, str) else header.get("format", "{}").format(v) for v in values]
    if cells != shown:
        sys.exit("column %s shows %r, not %r" % (key, cells, shown))
EOF
            fail "multiqc's table does not show the $tool report as it is"
    done
    echo "workflow check: $(/usr/bin/multiqc --version 2>/dev/null | head -n 1) shows both reports' sections and values"
else
    echo "workflow check: SKIPPING the MultiQC run: /usr/bin/multiqc not found (Debian package multiqc)"
fi
