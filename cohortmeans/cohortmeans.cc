// cohortmeans: sums up a table of per-sample k-mer counts as five averages.
//
// Usage: cohortmeans NCASES NCONTROLS. Reads "test.txt", one k-mer per row:
// the k-mer, two columns not used, a real value (a row whose value is not a
// number is an error), NCASES case counts, then
// NCONTROLS control counts. Prints one line on standard output: the means
// over all rows of the value, of the case count total, of the control count
// total, of the number of case samples with a count above 0, and of the
// number of control samples with one, separated by "," in the %g format.
#include "cohortmeans.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "files.h"
#include "numbers.h"
#include "output_file.h"
#include "records.h"
#include "simd/kernels.h"
#include "task_pool.h"
#include "tool.h"

namespace {

const Help help = {
    "Usage: cohortmeans [OPTION]... NCASES NCONTROLS\n"
    "Reads a count table and prints one line of five means over its rows:\n"
    "  value,case total,control total,cases present,controls present\n"
    "Each row holds, separated by tabs or spaces: the k-mer, two columns that are\n"
    "not used, a real value, NCASES case counts and NCONTROLS control counts;\n"
    "further fields are ignored and blank lines skipped. A sample is present\n"
    "when its count is above 0. An empty table prints -nan for every mean.\n"
    "NCASES and NCONTROLS are whole numbers >= 0; further arguments are ignored.\n"
    "\n",
    24,
    "extra threads for decoding a compressed table and for\n"
    "reading the rows of a plain one (default: 0)",
    "\n"
    "FILE '-' is standard input. A table compressed with gzip or zstd is\n"
    "recognised by its first bytes.\n"
    "\n"
    "Exit status: 0 on success, 1 if the table cannot be read, holds a row with\n"
    "too few fields, a value that is not a number (such as a header line or NA)\n"
    "or a count outside the 32-bit range, or the line cannot be written; 2 for\n"
    "invalid arguments.\n",
    "the table with -i"};

// A sample count: a whole non-negative decimal number, optionally with a
// leading '+', that fits in 32 bits.
int32_t sampleCount(const char* arg, const char* what) {
    uint64_t value = 0;
    switch (parseWholeArgument(arg, INT32_MAX, value)) {
        case ArgumentStatus::Invalid:
            failUsage("invalid number of %s samples: '%s'", what, arg);
        case ArgumentStatus::TooLarge:
            failUsage("number of %s samples is too large: '%s'", what, arg);
        case ArgumentStatus::Ok:
            break;
    }
    return static_cast<int32_t>(value);
}

}  // namespace

RowResult readRow(const LineReader& reader, std::string_view line, int32_t noCases,
                  int32_t noControls, RowSums& sums) {
    sums = RowSums{};
    FieldCursor fields(reader, line);
    std::string_view first[4];
    const int found = splitFields(fields, 4, first);
    if (found == 0) return {RowStatus::Blank};
    if (found < 4) return {RowStatus::TooFewFields, found};
    if (scanReal(first[3], sums.value) == 0) return {RowStatus::ValueNotANumber, 0, first[3]};
    const auto& walkCounts = simd::kernels().walkCounts;
    const simd::CountWalk cases = walkCounts(fields.pos, fields.end, noCases);
    if (cases.bad) return {RowStatus::CountOutOfRange, 0, {cases.bad, cases.badLength}};
    if (cases.read < noCases) return {RowStatus::TooFewFields, 4 + cases.read};
    const simd::CountWalk controls = walkCounts(cases.next, fields.end, noControls);
    if (controls.bad) return {RowStatus::CountOutOfRange, 0, {controls.bad, controls.badLength}};
    if (controls.read < noControls) return {RowStatus::TooFewFields, 4 + noCases + controls.read};
    sums.caseSum = cases.sum;
    sums.casesPresent = static_cast<int32_t>(cases.present);
    sums.controlSum = controls.sum;
    sums.controlsPresent = static_cast<int32_t>(controls.present);
    return {RowStatus::Ok};
}

namespace {

// What is wrong with a row that readRow did not take.
std::string rowProblem(const RowResult& r, int32_t noCases, int32_t noControls) {
    char what[256];
    switch (r.status) {
        case RowStatus::TooFewFields:
            std::snprintf(what, sizeof what,
                          "%" PRId64 " field%s, a row needs %" PRId64 " (k-mer, 3 columns, %" PRId32
                          " case and %" PRId32 " control counts)",
                          r.fieldsFound, r.fieldsFound == 1 ? "" : "s",
                          int64_t{4} + noCases + noControls, noCases, noControls);
            break;
        case RowStatus::ValueNotANumber:
            std::snprintf(what, sizeof what, "value '%.*s' is not a number", shown(r.bad.size()),
                          r.bad.data());
            break;
        default:
            std::snprintf(what, sizeof what, "count '%.*s' is out of the 32-bit range",
                          shown(r.bad.size()), r.bad.data());
    }
    return what;
}

// The rows of a stretch of the table: their counts, and their values in
// order, which the merge adds one by one, so that the sum is the same to
// the last bit whatever the threads.
struct RowsRead {
    Totals counts;
    std::vector<double> values;
    void add(const RowSums& row) {
        ++counts.lineCount;
        counts.addCounts(row);
        values.push_back(row.value);
    }
};

}  // namespace

Totals sumTable(ByteSource& in, const char* inputName, int32_t noCases, int32_t noControls,
                const RecordThreads& threads) {
    Totals totals;
    readRecords<RowsRead>(
        in, inputName, threads,
        [&](const LineReader& reader, std::string_view line, RowsRead& into, std::string& what) {
            RowSums row;
            const RowResult result = readRow(reader, line, noCases, noControls, row);
            if (result.status == RowStatus::Ok)
                into.add(row);
            else if (result.status != RowStatus::Blank)
                return what = rowProblem(result, noCases, noControls), false;
            return true;
        },
        [&](const RowsRead& part) {
            for (const double v : part.values) totals.value += v;
            totals.addCounts(part.counts);
        });
    return totals;
}

// With no rows every mean is 0/0; it is printed as -nan, the value that
// division gives on x86-64, whatever the machine.
size_t formatMeans(const Totals& totals, char* text, size_t size) {
    const double count = static_cast<double>(totals.lineCount);
    auto mean = [&](auto total) {
        return totals.lineCount ? static_cast<double>(total) / count : -std::nan("");
    };
    const int length = std::snprintf(text, size, "%g,%g,%g,%g,%g\n", mean(totals.value),
                                     mean(totals.caseSum), mean(totals.controlSum),
                                     mean(totals.casesPresent), mean(totals.controlsPresent));
    return static_cast<size_t>(length);
}

namespace {

// The run, from the options to the outputs written.
void run(int argc, char** argv, OutputSet& outputs) {
    const char* table = "test.txt";
    std::vector<Option> options = {{.name = "table",
                                    .shortName = 'i',
                                    .argument = "FILE",
                                    .help = "the count table (default: test.txt)",
                                    .parse = [&](const char* a) { table = a; },
                                    .brief = "the count table"}};
    const Command command = parseOptions(argc, argv, options, help, 2);
    const std::vector<const char*>& numbers = command.operands;
    if (numbers.size() < 2)
        failUsage("expected two arguments: the numbers of case and control samples");
    const int32_t noCases = sampleCount(numbers[0], "case");
    const int32_t noControls = sampleCount(numbers[1], "control");
    enterDirectory(command);
    const char* means = "-";
    checkDistinct(&table, 1, &means, 1);

    RunThreads threads(command.threads);
    const auto in = openInputSource(table, options[0], threads.pool());
    const Totals totals =
        sumTable(*in, inputName(table), noCases, noControls, RecordThreads{&threads.pool()});

    char text[256];
    const size_t length = formatMeans(totals, text, sizeof text);
    OutputFile out(outputs.create(means), sizeof text);
    out.write(text, length);
    out.close();
    outputs.commit();
}

}  // namespace

int runCohortmeans(int argc, char** argv) {
    return runTool("cohortmeans", [&](OutputSet& outputs) { run(argc, argv, outputs); });
}
