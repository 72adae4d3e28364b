// The QQ plot of the family of p-values as a plain SVG 1.1 file: observed
// -log10 p against expected -log10 p, the i-th smallest p-value of both
// inputs expected at (i - 0.5) / N of the N tested, the points coloured by
// the input they come from, the line y = x, the cutoff applied, the
// family's lambda in the title; p-values of 0 as squares on the top edge,
// which the smallest positive p-value sets. Its size is bounded whatever
// the number of p-values: the most significant ones are drawn as points,
// the rest as a line through the histogram cells at the plot's resolution.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "corrections.h"

// The number of most significant p-values drawn as points.
inline constexpr size_t qqPoints = 2000;

struct QQFamily {
    std::string names[2];  // of the inputs, case and control
    uint64_t n;            // p-values present in both
    uint64_t zeros[2];     // p-values of 0 in each
    double lambda;         // the genomic control of the N tested
    Cells cells;           // every p-value of both, in histogram cells
    // The min(n, qqPoints) smallest, ascending, each with its input (0, 1).
    std::vector<std::pair<double, int>> lowest;
};

// The SVG text; `cutoff` is the p-value cutoff applied (drawn when finite
// and positive).
std::string qqPlotSvg(const QQFamily& family, const char* method, double cutoff, int64_t total);

// The histogram of the p-values present as a plain SVG 1.1 file: the
// density in 20 bins of width 0.05 over [0, 1] (bins[b] counts those at or
// above exactly b of pi0's lambdas, 0.05 to 0.95: bin b is [0.05 b,
// 0.05 (b + 1))), of n p-values, with the line at pi0.
std::string histogramSvg(const std::array<uint64_t, 20>& bins, uint64_t n, double pi0,
                         const char* method);
