// The steps of cohortmeans, for its main and for tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "lines.h"
#include "records.h"
#include "samples.h"

// One row of the count table: a k-mer, two columns not used, a real value,
// then one count per case sample and one per control sample. The value is
// read as strtod reads it and must start with a number; counts read as
// parseInt reads them (3.7 is 3, abc is 0) and must fit in 32 bits.
struct RowSums {
    double value = 0;
    int64_t caseSum = 0;
    int64_t controlSum = 0;
    int32_t casesPresent = 0;
    int32_t controlsPresent = 0;
};

enum class RowStatus { Ok, Blank, TooFewFields, ValueNotANumber, CountOutOfRange };

struct RowResult {
    RowStatus status;
    int64_t fieldsFound = 0;  // with TooFewFields
    std::string_view bad{};   // the field, with ValueNotANumber or CountOutOfRange
    int64_t slowCounts = 0;   // with Ok and counts: those read one by one (the rest are 0 to 9999)
};

// Reads one row that `reader` (made with fields) returned. Fields beyond
// the counts are ignored. With `counts`, each sample's count is stored
// there instead (noCases + noControls of them, in room for
// simd::kCountSlack more), and the sums of the counts are left 0.
RowResult readRow(const LineReader& reader, std::string_view line, int32_t noCases,
                  int32_t noControls, RowSums& sums, int32_t* counts = nullptr);

// The sums over the rows read. The counts add up exactly, as integers, in
// any order; the values add up as doubles, in the order of the rows.
struct Totals {
    __extension__ typedef __int128 Exact;
    double value = 0;
    Exact caseSum = 0, controlSum = 0;
    int64_t casesPresent = 0, controlsPresent = 0;
    int64_t lineCount = 0;

    void addCounts(const RowSums& row) {
        caseSum += row.caseSum;
        controlSum += row.controlSum;
        casesPresent += row.casesPresent;
        controlsPresent += row.controlsPresent;
    }
    // The counts of rows read after these, whose values the caller adds.
    void addCounts(const Totals& later) {
        lineCount += later.lineCount;
        caseSum += later.caseSum;
        controlSum += later.controlSum;
        casesPresent += later.casesPresent;
        controlsPresent += later.controlsPresent;
    }
};

// What a pass over the table learns: the sums of the five means and, when
// asked, each sample's sums and the presence spectrum.
struct TableRead {
    Totals totals;
    SampleSums samples;
    Spectrum spectrum;
    std::vector<std::string> names;  // of the samples: from the header, or case1, ... control1, ...
};

// How the table is read: with each sample's sums and the spectrum, and
// with a header line naming the columns first.
struct TableOptions {
    bool samples = false;
    bool header = false;
};

// Adds up every row of the table, on the threads given; a bad row fails the
// run.
TableRead readTable(ByteSource& in, const char* inputName, int32_t noCases, int32_t noControls,
                    const RecordThreads& threads = {}, const TableOptions& options = {});
inline Totals sumTable(ByteSource& in, const char* inputName, int32_t noCases, int32_t noControls,
                       const RecordThreads& threads = {}) {
    return readTable(in, inputName, noCases, noControls, threads).totals;
}

// Writes the summary line to `text`; returns its length.
size_t formatMeans(const Totals& totals, char* text, size_t size);

// The whole run: arguments, table, summary line.
int runCohortmeans(int argc, char** argv);
