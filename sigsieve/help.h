// sigsieve --help, around the option lines its option table makes.
#pragma once

#include "tool.h"

inline constexpr Help help = {
    "Usage: sigsieve [OPTION]...\n"
    "Keeps the k-mers whose p-value passes a multiple-testing correction over the\n"
    "k-mers tested: Bonferroni unless -m names another, with which a k-mer passes\n"
    "when its p-value is below ALPHA / (number of k-mers tested), ALPHA being 0.05\n"
    "unless -a gives another. Writes the passing case and control k-mers as FASTA\n"
    "records \">0\", \">1\", ... Records hold the k-mer, two integers and the\n"
    "p-value, separated by tabs or spaces; blank lines are skipped. Other\n"
    "arguments are ignored.\n"
    "\n",
    26, "extra threads for compression and records\n(default: 0)",
    "\n"
    "FILE '-' is standard input or output (one input at most; not both outputs).\n"
    "Input compressed with gzip or zstd is recognised by its first bytes; an\n"
    "output named *.gz is written as BGZF (blocked gzip), *.zst as zstd.\n"
    "\n"
    "Methods other than bonferroni and sidak, the report and the plots read the\n"
    "records more than once: the case and control inputs must then be files, not\n"
    "pipes.\n"
    "\n"
    "Example: sigsieve -a 0.01 -n 2500000000 --case=case.kmerDiff.gz --case-out=-\n"
    "         sigsieve -m storey --table=hits.tsv --report=r.tsv --hist-plot=p.svg\n"
    "\n"
    "Exit status: 0 on success, 1 if a file cannot be read or written or holds\n"
    "a malformed record, 2 for invalid options.\n",
    "the inputs with --case and --control"};

// The --help text of -m: the rule of each method, as the family orders
// the p-values.
inline constexpr char methodHelp[] =
    "the correction (default: bonferroni); with the\n"
    "p-values of both inputs sorted, p(1) <= ... <= p(N),\n"
    "the k-mers tested but absent counting as 1:\n"
    "  bonferroni  p < ALPHA / N\n"
    "  holm        p < p(i), i the first rank with\n"
    "              p(i) >= ALPHA / (N - i + 1)\n"
    "  bh          p <= p(k), k the last rank with\n"
    "              p(k) <= k * ALPHA / N (false discovery\n"
    "              rate)\n"
    "  by          bh with ALPHA / (1 + 1/2 + ... + 1/N)\n"
    "  hochberg    p <= p(k), k the last rank with\n"
    "              p(k) <= ALPHA / (N - k + 1)\n"
    "  sidak       p < -expm1(log1p(-ALPHA) / N)\n"
    "  sidak-sd    p < p(i), i the first rank with p(i) >=\n"
    "              -expm1(log1p(-ALPHA) / (N - i + 1))\n"
    "  storey      p <= p(k), k the last rank with\n"
    "              p(k) <= (k * ALPHA) / (PI0 * N):\n"
    "              q <= ALPHA";
