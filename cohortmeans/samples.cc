#include "samples.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "failure.h"
#include "numbers.h"
#include "report_table.h"

void SampleSums::unpack(const std::vector<uint32_t>& words) {
    constexpr uint32_t sumBits = (uint32_t{1} << simd::kPresentShift) - 1;
    for (size_t s = 0; s < total.size(); ++s) {
        if (__builtin_add_overflow(total[s], int64_t{words[s] & sumBits}, &total[s]))
            fail("the total count of a sample does not fit in 64 bits");
        present[s] += words[s] >> simd::kPresentShift;
    }
}

void SampleSums::settle() {
    unpack(packed);
    std::fill(packed.begin(), packed.end(), 0);
    packedRows = 0;
}

void SampleSums::merge(const SampleSums& later) {
    settle();
    unpack(later.packed);
    for (size_t s = 0; s < total.size(); ++s) {
        if (__builtin_add_overflow(total[s], later.total[s], &total[s]))
            fail("the total count of a sample does not fit in 64 bits");
        present[s] += later.present[s];
    }
}

namespace {

// The shortest text that reads back as v; NA for nan.
std::string number(double v) {
    if (v != v) return "NA";
    char text[shortestLength];
    return std::string(text, formatShortest(text, v));
}

std::string whole(__int128 v) {
    std::string digits;
    if (v < 0) {
        digits = whole(-v);
        digits.insert(digits.begin(), '-');
        return digits;
    }
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
        v /= 10;
    } while (v);
    return digits;
}

// The median of the values present (not nan): the middle one, or the mean
// of the two middle ones; nan for none.
double median(std::vector<double> values) {
    values.erase(std::remove_if(values.begin(), values.end(), [](double v) { return v != v; }),
                 values.end());
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : values[n / 2 - 1] / 2 + values[n / 2] / 2;
}

}  // namespace

std::string sampleReport(const SampleSums& sums, uint64_t rows, int32_t cases,
                         const std::vector<std::string>& names, bool json,
                         const std::string& description) {
    ReportTable table;
    table.columns = {
        {"sample", "Sample", "The sample's column: its name in the header, or its group and place",
         ""},
        {"group", "Group", "case or control; the last rows sum up each group and both", ""},
        {"total", "Total", "The sum of its counts over all rows (of the group's samples)",
         "{:,.15g}"},
        {"present", "Present",
         "The rows where its count is above 0 (of a group: the median over its samples)",
         "{:,.15g}"},
        {"present_share", "Present share", "Present over the rows of the table", "{:.4f}"},
        {"mean_present", "Mean where present", "Total over present", "{:,.4g}"},
        {"depth_ratio", "Depth ratio",
         "Its total over the median total of its group (of a group: its median total over that "
         "of all samples, the balance of depth between the groups)",
         "{:.4g}"},
        {"outlier", "Outlier",
         "yes when its total lies more than 3 scaled median absolute deviations (1.4826 MAD) from "
         "its group's median total; of a group, how many are",
         "{:,.0f}"},
    };
    const size_t samples = sums.total.size(), n = static_cast<size_t>(cases);
    const double rowCount = static_cast<double>(rows);
    // Each group's median total and scaled median absolute deviation.
    double groupMedian[2], groupSpread[2], allMedian;
    {
        std::vector<double> totals(sums.total.begin(), sums.total.end());
        allMedian = median(totals);
    }
    for (int g = 0; g < 2; ++g) {
        std::vector<double> totals;
        for (size_t s = g ? n : 0; s < (g ? samples : n); ++s)
            totals.push_back(static_cast<double>(sums.total[s]));
        groupMedian[g] = median(totals);
        for (double& t : totals) t = std::fabs(t - groupMedian[g]);
        groupSpread[g] = 1.4826 * median(totals);
    }
    struct Row {
        double present, share, mean, ratio;
        bool outlier;
    };
    std::vector<Row> made(samples);
    for (size_t s = 0; s < samples; ++s) {
        const int g = s >= n;
        const double total = static_cast<double>(sums.total[s]);
        const double present = static_cast<double>(sums.present[s]);
        made[s] = {present, rows ? present / rowCount : NAN, present ? total / present : NAN,
                   groupMedian[g] != 0 ? total / groupMedian[g] : NAN,
                   std::fabs(total - groupMedian[g]) > 3 * groupSpread[g]};
        table.rows.push_back({names[s],
                              {names[s], g ? "control" : "case", whole(sums.total[s]),
                               whole(sums.present[s]), number(made[s].share), number(made[s].mean),
                               number(made[s].ratio), made[s].outlier ? "yes" : "no"}});
    }
    // A group's row: the totals summed, the depth ratio its median total
    // over that of all samples, the rest the median over its samples.
    const char* const groups[3] = {"case", "control", "both"};
    for (int g = 0; g < 3; ++g) {
        const size_t from = g == 1 ? n : 0, to = g == 0 ? n : samples;
        __int128 total = 0;
        std::vector<double> present, share, mean, totals;
        int64_t outliers = 0;
        for (size_t s = from; s < to; ++s) {
            total += sums.total[s];
            present.push_back(made[s].present), share.push_back(made[s].share);
            mean.push_back(made[s].mean), totals.push_back(static_cast<double>(sums.total[s]));
            outliers += made[s].outlier;
        }
        table.rows.push_back(
            {groups[g],
             {groups[g], groups[g], whole(total), number(median(present)), number(median(share)),
              number(median(mean)), number(allMedian != 0 ? median(totals) / allMedian : NAN),
              std::to_string(outliers)}});
    }
    if (!json) return tsvText(table);
    // MultiQC names a row by its key: a sample named like a group row, or
    // like another sample, is told apart.
    std::vector<std::string> keys;
    for (auto& [key, cells] : table.rows) {
        const std::string base = key;
        for (int copy = 2; std::count(keys.begin(), keys.end(), key); ++copy) {
            key = base;
            key.append(" (").append(std::to_string(copy)).append(")");
        }
        keys.push_back(key);
    }
    return multiqcJson(table, "cohortmeans", description, "Sample",
                       {{"rows", std::to_string(rows)},
                        {"cases", std::to_string(cases)},
                        {"controls", std::to_string(samples - n)}});
}

Spectrum::Spectrum(int32_t cases, int32_t controls)
    : cases_(cases),
      controls_(controls),
      caseBins_(cases_ > maxBins ? maxBins : cases_ + 1),
      controlBins_(controls_ > maxBins ? maxBins : controls_ + 1),
      rows_(static_cast<size_t>(caseBins_ * controlBins_)) {}

std::string Spectrum::tsv() const {
    std::string text = binned() ? "cases_from\tcases_to\tcontrols_from\tcontrols_to\trows\n"
                                : "cases_present\tcontrols_present\trows\n";
    for (int64_t i = 0; i < caseBins_; ++i)
        for (int64_t j = 0; j < controlBins_; ++j) {
            const uint64_t rows = rows_[static_cast<size_t>(i * controlBins_ + j)];
            if (binned())
                text += std::to_string(binStart(i, caseBins_, cases_)) + "\t" +
                        std::to_string(binStart(i + 1, caseBins_, cases_) - 1) + "\t" +
                        std::to_string(binStart(j, controlBins_, controls_)) + "\t" +
                        std::to_string(binStart(j + 1, controlBins_, controls_) - 1) + "\t";
            else
                text += std::to_string(i) + "\t" + std::to_string(j) + "\t";
            text += std::to_string(rows) + "\n";
        }
    return text;
}

namespace {

std::string format(const char* fmt, double a, double b = 0, double c = 0, double d = 0) {
    char text[160];
    std::snprintf(text, sizeof text, fmt, a, b, c, d);
    return text;
}

// A colour of the sequential scale from light (0) to dark (1).
std::string shade(double t) {
    // Five stops, from pale yellow through green and blue to dark purple.
    static const double stops[5][3] = {
        {255, 255, 204}, {161, 218, 180}, {65, 182, 196}, {44, 127, 184}, {37, 52, 148}};
    t = std::clamp(t, 0.0, 1.0) * 4;
    const int a = std::min(3, static_cast<int>(t));
    const double f = t - a;
    char text[16];
    std::snprintf(text, sizeof text, "#%02x%02x%02x",
                  static_cast<int>(stops[a][0] + f * (stops[a + 1][0] - stops[a][0])),
                  static_cast<int>(stops[a][1] + f * (stops[a + 1][1] - stops[a][1])),
                  static_cast<int>(stops[a][2] + f * (stops[a + 1][2] - stops[a][2])));
    return text;
}

}  // namespace

std::string Spectrum::svg() const {
    constexpr double width = 720, height = 640, left = 80, right = 120, top = 56, bottom = 64;
    constexpr double plotWidth = width - left - right, plotHeight = height - top - bottom;
    // At most 200 cells a side are drawn, each the sum of the cells in it,
    // so that the file stays small whatever the number of samples.
    const int64_t shownX = std::min<int64_t>(caseBins_, 200),
                  shownY = std::min<int64_t>(controlBins_, 200);
    std::vector<uint64_t> shown(static_cast<size_t>(shownX * shownY));
    uint64_t most = 0, total = 0;
    for (int64_t i = 0; i < caseBins_; ++i)
        for (int64_t j = 0; j < controlBins_; ++j) {
            uint64_t& cell = shown[static_cast<size_t>(i * shownX / caseBins_ * shownY +
                                                       j * shownY / controlBins_)];
            cell += rows_[static_cast<size_t>(i * controlBins_ + j)];
            total += rows_[static_cast<size_t>(i * controlBins_ + j)];
        }
    for (const uint64_t c : shown) most = std::max(most, c);
    const double scale = std::log10(1 + static_cast<double>(most));
    const double cw = plotWidth / static_cast<double>(shownX),
                 ch = plotHeight / static_cast<double>(shownY);
    std::string svg =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" " +
        format("width=\"%g\" height=\"%g\" viewBox=\"0 0 %g %g\" ", width, height, width, height) +
        "font-family=\"sans-serif\" font-size=\"12\">\n"
        "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n" +
        format("<text x=\"%.1f\" y=\"28\" text-anchor=\"middle\" font-size=\"15\">",
               left + plotWidth / 2) +
        format("Presence spectrum: %.0f rows, %.0f cases, %.0f controls</text>\n",
               static_cast<double>(total), static_cast<double>(cases_),
               static_cast<double>(controls_));
    // The cells: cases present across, controls present up; empty ones white.
    svg += "<g stroke=\"none\">";
    for (int64_t x = 0; x < shownX; ++x)
        for (int64_t y = 0; y < shownY; ++y) {
            const uint64_t rows = shown[static_cast<size_t>(x * shownY + y)];
            if (!rows) continue;
            svg +=
                format("<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" ",
                       left + static_cast<double>(x) * cw,
                       top + plotHeight - static_cast<double>(y + 1) * ch, cw + 0.05, ch + 0.05) +
                "fill=\"" + shade(std::log10(1 + static_cast<double>(rows)) / scale) + "\"/>";
        }
    svg += "</g>\n";
    svg += format("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" ", left, top,
                  plotWidth, plotHeight) +
           "fill=\"none\" stroke=\"#000\"/>\n";
    // Balanced presence: the same share of cases as of controls.
    svg += format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" ", left, top + plotHeight,
                  left + plotWidth, top) +
           "stroke=\"#d62728\" stroke-dasharray=\"6 4\"/>\n" +
           format("<text x=\"%.1f\" y=\"%.1f\" fill=\"#d62728\" text-anchor=\"end\">",
                  left + plotWidth - 6, top + 16) +
           "balanced presence</text>\n";
    // The corners where presence leans to one group.
    svg += format("<text x=\"%.1f\" y=\"%.1f\" fill=\"#555\" text-anchor=\"end\">",
                  left + plotWidth - 6, top + plotHeight - 8) +
           "in cases, not in controls</text>\n" +
           format("<text x=\"%.1f\" y=\"%.1f\" fill=\"#555\">", left + 6, top + 16) +
           "in controls, not in cases</text>\n";
    // The axes: the first and last counts, and a few between.
    for (int axis = 0; axis < 2; ++axis) {
        const int64_t n = axis ? controls_ : cases_;
        for (int t = 0; t <= 4; ++t) {
            const int64_t value = n * t / 4;
            if (t && value == n * (t - 1) / 4) continue;
            const double f = (static_cast<double>(value) + 0.5) / static_cast<double>(n + 1);
            if (axis)
                svg += format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%.0f</text>\n",
                              left - 6, top + plotHeight - f * plotHeight + 4,
                              static_cast<double>(value));
            else
                svg +=
                    format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%.0f</text>\n",
                           left + f * plotWidth, top + plotHeight + 18, static_cast<double>(value));
        }
    }
    svg += format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">cases present</text>\n",
                  left + plotWidth / 2, height - 16);
    svg +=
        format("<text transform=\"translate(%.1f %.1f) rotate(-90)\" ", 24, top + plotHeight / 2) +
        "text-anchor=\"middle\">controls present</text>\n";
    // The colour scale, log rows.
    const double barX = left + plotWidth + 30, barHeight = 200;
    for (int k = 0; k < 50; ++k)
        svg += format("<rect x=\"%.1f\" y=\"%.2f\" width=\"16\" height=\"%.2f\" ", barX,
                      top + barHeight - (k + 1) * barHeight / 50, barHeight / 50 + 0.05) +
               "fill=\"" + shade(k / 49.0) + "\"/>";
    svg += format("\n<text x=\"%.1f\" y=\"%.1f\">rows</text>\n", barX, top - 8);
    svg += format("<text x=\"%.1f\" y=\"%.1f\">1</text>\n", barX + 22, top + barHeight);
    svg += format("<text x=\"%.1f\" y=\"%.1f\">%.0f</text>\n", barX + 22, top + 10,
                  static_cast<double>(most));
    if (binned())
        svg += format("<text x=\"%.1f\" y=\"%.1f\" font-size=\"10\">", left, height - 40) +
               "(more than 1000 samples on a side: counted in 1000 bins)</text>\n";
    return svg + "</svg>\n";
}
