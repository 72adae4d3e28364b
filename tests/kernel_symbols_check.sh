#!/usr/bin/env bash
# Checks that each kernel object of the library defines weak (mergeable)
# symbols only inside its own instruction set's namespace (data that holds
# no code aside: the unwinder's DW.ref words, and the type descriptions
# clang's UndefinedBehaviorSanitizer checks calls with): a weak inline
# function built with AVX-512 flags could otherwise be picked by the linker
# for every caller, and crash on a CPU without AVX-512.
#   kernel_symbols_check.sh LIBRARY.a
set -euo pipefail
lib=$1
status=0
for set in scalar sse2 avx2 avx512 avx512vbmi2; do
    members=$(ar t "$lib" | grep -xE "kernels_$set(\.cc)?\.o(bj)?" || true)
    [ -n "$members" ] || continue
    scratch=$(mktemp -d)
    (cd "$scratch" && ar x "$lib" $members)
    stray=$(nm -C --defined-only "$scratch"/* | awk '$2 ~ /^[WVuiw]$/' | grep -v "simd::$set::" |
        grep -vE " (DW\.ref\.|typeinfo (name )?for )" || true)
    rm -rf "$scratch"
    if [ -n "$stray" ]; then
        echo "kernels_$set defines weak symbols outside simd::$set::" >&2
        echo "$stray" >&2
        status=1
    fi
done
[ $status -ne 0 ] || echo "kernel objects keep to their sets"
exit $status
