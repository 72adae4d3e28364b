#!/usr/bin/env bash
# Runs each fuzz target for a fixed time from its corpus in fuzz/corpus/,
# which it leaves as it is, and reports executions and coverage.
#   fuzz/run.sh BUILD_DIR SECONDS [TARGET ...]     (targets: record_input byte_source seedtiler sigsieve cohortmeans)
# Exits non-zero if any target finds a crash, a leak or a failed check; the
# input that did it is kept in the scratch directory it names.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
seconds=$2
shift 2
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(record_input byte_source seedtiler sigsieve cohortmeans)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kmertools-fuzz-XXXXXX")
status=0
for t in "${targets[@]}"; do
    mkdir -p "$scratch/$t/corpus"
    # seedtiler writes 64 bytes per input byte; shorter inputs keep it fast.
    maxlen=4096
    [ "$t" = seedtiler ] && maxlen=512
    if (cd "$scratch/$t" && "$build/fuzz/fuzz_$t" corpus "$here/corpus/$t" -max_total_time="$seconds" \
        -max_len=$maxlen -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 >log 2>&1); then
        result=ok
    else
        result=FAILED
        status=1
    fi
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$scratch/$t/log" | grep -o '[0-9]*$' || echo "?")
    cov=$(grep -o 'cov: [0-9]*' "$scratch/$t/log" | tail -n 1 | grep -o '[0-9]*' || echo "?")
    echo "fuzz_$t: $result, $runs executions in ${seconds}s, coverage $cov edges"
    if [ $result = FAILED ]; then
        grep -E 'ERROR|check failed|runtime error|SUMMARY' "$scratch/$t/log" | head -n 5
        echo "log and reproducer: $scratch/$t"
    fi
done
[ $status -ne 0 ] || rm -rf "$scratch"
exit $status
