// The QQ plot of p-values as a plain SVG 1.1 file: observed -log10 p
// against expected -log10 p, the i-th smallest p-value present expected at
// (i - 0.5) / N of the N tested, the line y = x, the cutoff applied, and
// each series in its colour; p-values of 0 as squares on the top edge,
// which the smallest positive p-value sets. Its size is bounded whatever the number of
// p-values: the most significant ones are drawn as points, the rest as a
// line through the histogram cells at the plot's resolution.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "corrections.h"

// The number of most significant p-values of a series drawn as points.
inline constexpr size_t qqPoints = 2000;

struct QQSeries {
    std::string name;
    uint64_t n;                  // p-values present
    double lambda;               // genomic control
    uint64_t zeros;              // p-values of 0
    Cells cells;                 // all of them, in histogram cells
    std::vector<double> lowest;  // the min(n, qqPoints) smallest, ascending
};

// The SVG text; `cutoff` is the p-value cutoff applied (drawn when finite
// and positive).
std::string qqPlotSvg(const std::vector<QQSeries>& series, const char* method, double cutoff,
                      int64_t total);

// The histogram of the p-values present as a plain SVG 1.1 file: the
// density in 20 bins of width 0.05 over [0, 1] (bins[b] counts those at or
// above exactly b of pi0's lambdas, 0.05 to 0.95: bin b is [0.05 b,
// 0.05 (b + 1))), of n p-values, with the line at pi0.
std::string histogramSvg(const std::array<uint64_t, 20>& bins, uint64_t n, double pi0,
                         const char* method);
