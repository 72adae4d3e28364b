// The QQ plot of p-values as a plain SVG 1.1 file: observed -log10 p
// against expected -log10 p, the line y = x, the cutoff applied, and each
// series in its colour. Its size is bounded whatever the number of
// p-values: the most significant ones are drawn as points, the rest as a
// line through the histogram cells at the plot's resolution.
#pragma once

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
    Cells cells;                 // all of them, in histogram cells
    std::vector<double> lowest;  // the min(n, qqPoints) smallest, ascending
};

// The SVG text; `cutoff` is the p-value cutoff applied (drawn when finite
// and positive).
std::string qqPlotSvg(const std::vector<QQSeries>& series, const char* method, double cutoff);
