// What cohortmeans learns of each sample column in its one pass, and what
// it writes of it: the per-sample report (depth, presence, balance) and the
// presence spectrum, as tables and as a picture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "simd/kernels.h"

// The samples' sums over the rows: each sample's total count and the rows
// where its count is above 0. Exact: 64-bit sums, a failure where one
// would not fit. Rows whose counts are all 0 to 9999 (most tables' rows)
// are first added up in one packed word per sample (see addShortSamples),
// taken into the 64-bit sums every kPackedRows rows and by merge.
struct SampleSums {
    std::vector<int64_t> total, present;
    void resize(size_t samples) {
        total.assign(samples, 0), present.assign(samples, 0), packed.assign(samples, 0);
        packedRows = 0;
    }
    // Adds a row's counts, one per sample, the cases' first (`slow` of
    // them read one by one, the rest 0 to 9999); gives the row's sum and
    // presence of the cases, then of the controls.
    void add(const int32_t* counts, size_t cases, int64_t slow, simd::RowCounts& ofCases,
             simd::RowCounts& ofControls) {
        const simd::Kernels& k = simd::kernels();
        const size_t controls = total.size() - cases;
        if (slow) {
            ofCases = k.addSamples(counts, cases, total.data(), present.data());
            ofControls = k.addSamples(counts + cases, controls, total.data() + cases,
                                      present.data() + cases);
            return;
        }
        ofCases = k.addShortSamples(counts, cases, packed.data());
        ofControls = k.addShortSamples(counts + cases, controls, packed.data() + cases);
        if (++packedRows == simd::kPackedRows) settle();
    }
    // Takes on the sums of the rows after these.
    void merge(const SampleSums& later);
    // Takes the packed rows into total and present.
    void settle();

  private:
    // Adds packed words into the 64-bit sums.
    void unpack(const std::vector<uint32_t>& words);
    std::vector<uint32_t> packed;  // the rows added since the last unpack
    int packedRows = 0;
};

// The presence spectrum: for every i cases and j controls, the rows whose
// k-mer is present (count above 0) in exactly i cases and j controls. A
// side of more than 1000 samples is cut into 1000 bins of about equal
// width; memory is one counter per cell, whatever the rows.
class Spectrum {
  public:
    static constexpr int64_t maxBins = 1000;
    Spectrum(int32_t cases = 0, int32_t controls = 0);
    // The cell of a row present in i cases and j controls.
    uint32_t cell(int32_t i, int32_t j) const {
        return static_cast<uint32_t>(bin(i, caseBins_, cases_) * controlBins_ +
                                     bin(j, controlBins_, controls_));
    }
    void count(uint32_t cell, uint64_t rows = 1) { rows_[cell] += rows; }
    bool binned() const { return caseBins_ <= cases_ || controlBins_ <= controls_; }

    // The TSV: cases_present, controls_present and rows for every cell
    // (binned: the first and last count of each bin instead).
    std::string tsv() const;
    // A plain SVG 1.1 heatmap: the rows of each cell on a log scale, the
    // axes labelled, the diagonal of balanced presence marked.
    std::string svg() const;

  private:
    // The bin of i of n samples cut into `bins`.
    static int64_t bin(int64_t i, int64_t bins, int64_t n) {
        return bins == n + 1 ? i : i * bins / (n + 1);
    }
    // The first count of bin b.
    static int64_t binStart(int64_t b, int64_t bins, int64_t n) {
        return bins == n + 1 ? b : (b * (n + 1) + bins - 1) / bins;
    }
    int64_t cases_, controls_, caseBins_, controlBins_;
    std::vector<uint64_t> rows_;
};

// The per-sample report: a row per sample (its name, group, total, rows
// present, share present, mean count where present, its total over the
// median of its group's, and whether it is an outlier), then a row for
// each group and for both. As TSV, or as MultiQC's custom-content JSON.
std::string sampleReport(const SampleSums& sums, uint64_t rows, int32_t cases,
                         const std::vector<std::string>& names, bool json,
                         const std::string& description);
