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
#include "report_table.h"
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
    "The same pass can also write a report per sample and the presence spectrum.\n"
    "\n",
    24,
    "extra threads for decoding a compressed table and for\n"
    "reading the rows of a plain one (default: 0)",
    "\n"
    "FILE '-' is standard input. A table compressed with gzip or zstd is\n"
    "recognised by its first bytes; outputs named *.gz or *.zst are compressed.\n"
    "A sample is an outlier when its total lies more than 3 scaled median\n"
    "absolute deviations (1.4826 MAD) from its group's median total. A group's\n"
    "row sums the totals, gives its median total over all samples' as the\n"
    "depth ratio, the number of outliers, and the median of the rest.\n"
    "\n"
    "Exit status: 0 on success, 1 if the table cannot be read, holds a row with\n"
    "too few fields, a value that is not a number (such as a header line or NA)\n"
    "or a count outside the 32-bit range, or an output cannot be written; 2 for\n"
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
                  int32_t noControls, RowSums& sums, int32_t* counts) {
    sums = RowSums{};
    FieldCursor fields(reader, line);
    std::string_view first[4];
    const int found = splitFields(fields, 4, first);
    if (found == 0) return {RowStatus::Blank};
    if (found < 4) return {RowStatus::TooFewFields, found};
    if (scanReal(first[3], sums.value) == 0) return {RowStatus::ValueNotANumber, 0, first[3]};
    const simd::Kernels& kernels = simd::kernels();
    const simd::CountWalk cases = counts
                                      ? kernels.readCounts(fields.pos, fields.end, noCases, counts)
                                      : kernels.walkCounts(fields.pos, fields.end, noCases);
    if (cases.bad) return {RowStatus::CountOutOfRange, 0, {cases.bad, cases.badLength}};
    if (cases.read < noCases) return {RowStatus::TooFewFields, 4 + cases.read};
    const simd::CountWalk controls =
        counts ? kernels.readCounts(cases.next, fields.end, noControls, counts + noCases)
               : kernels.walkCounts(cases.next, fields.end, noControls);
    if (controls.bad) return {RowStatus::CountOutOfRange, 0, {controls.bad, controls.badLength}};
    if (controls.read < noControls) return {RowStatus::TooFewFields, 4 + noCases + controls.read};
    sums.caseSum = cases.sum;
    sums.casesPresent = static_cast<int32_t>(cases.present);
    sums.controlSum = controls.sum;
    sums.controlsPresent = static_cast<int32_t>(controls.present);
    return {RowStatus::Ok, 0, {}, cases.slow + controls.slow};
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
// the last bit whatever the threads; with the samples, each one's sums and
// each row's cell of the spectrum; and the header's names when the stretch
// starts the table.
struct RowsRead {
    Totals counts;
    std::vector<double> values;
    SampleSums samples;
    std::vector<uint32_t> cells;
    std::vector<std::string> names;
    std::vector<int32_t> row;  // the counts of the row being read
    void add(const RowSums& row) {
        ++counts.lineCount;
        counts.addCounts(row);
        values.push_back(row.value);
    }
};

// The header line: the names of the sample columns, fields 5 on.
bool readHeader(const LineReader& reader, std::string_view line, int32_t noCases,
                int32_t noControls, std::vector<std::string>& names, std::string& what) {
    FieldCursor cursor(reader, line);
    std::string_view field;
    std::vector<std::string> fields;
    const size_t wanted = 4 + static_cast<size_t>(noCases) + static_cast<size_t>(noControls);
    while (fields.size() < wanted && nextField(cursor, field)) fields.emplace_back(field);
    if (fields.size() < wanted) {
        what = "the header names " + std::to_string(fields.size()) + " column" +
               (fields.size() == 1 ? "" : "s") + ", a row has " + std::to_string(wanted) +
               " (k-mer, 3 columns, " + std::to_string(noCases) + " case and " +
               std::to_string(noControls) + " control counts)";
        return false;
    }
    names.assign(fields.begin() + 4, fields.end());
    return true;
}

}  // namespace

TableRead readTable(ByteSource& in, const char* inputName, int32_t noCases, int32_t noControls,
                    const RecordThreads& threads, const TableOptions& options) {
    TableRead table;
    const size_t samples = static_cast<size_t>(noCases) + static_cast<size_t>(noControls);
    if (options.samples) {
        table.samples.resize(samples);
        table.spectrum = Spectrum(noCases, noControls);
    }
    const Spectrum& spectrum = table.spectrum;
    const auto row = [&](const LineReader& reader, std::string_view line, RowsRead& into,
                         std::string& what) {
        RowSums sums;
        int32_t* counts = nullptr;
        if (options.samples) {
            if (into.row.empty()) {
                into.samples.resize(samples);
                into.row.resize(samples + simd::kCountSlack);
            }
            counts = into.row.data();
        }
        const RowResult result = readRow(reader, line, noCases, noControls, sums, counts);
        if (result.status == RowStatus::Blank) return true;
        if (result.status != RowStatus::Ok)
            return what = rowProblem(result, noCases, noControls), false;
        if (counts) {
            simd::RowCounts cases, controls;
            into.samples.add(counts, static_cast<size_t>(noCases), result.slowCounts, cases,
                             controls);
            sums.caseSum = cases.sum, sums.casesPresent = static_cast<int32_t>(cases.present);
            sums.controlSum = controls.sum;
            sums.controlsPresent = static_cast<int32_t>(controls.present);
            into.cells.push_back(spectrum.cell(sums.casesPresent, sums.controlsPresent));
        }
        into.add(sums);
        return true;
    };
    const auto merge = [&](const RowsRead& part) {
        for (const double v : part.values) table.totals.value += v;
        table.totals.addCounts(part.counts);
        if (!part.names.empty()) table.names = part.names;
        if (options.samples && !part.samples.total.empty()) table.samples.merge(part.samples);
        for (const uint32_t cell : part.cells) table.spectrum.count(cell);
    };
    if (options.header)
        readRecords<RowsRead>(in, inputName, threads, row, merge,
                              [&](const LineReader& reader, std::string_view line, RowsRead& into,
                                  std::string& what) {
                                  return readHeader(reader, line, noCases, noControls, into.names,
                                                    what);
                              });
    else
        readRecords<RowsRead>(in, inputName, threads, row, merge);
    table.samples.settle();
    if (table.names.empty())
        for (size_t s = 0; s < samples; ++s)
            table.names.push_back(s < static_cast<size_t>(noCases)
                                      ? "case" + std::to_string(s + 1)
                                      : "control" + std::to_string(s + 1 - noCases));
    return table;
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
    const char *report = nullptr, *spectrum = nullptr, *plot = nullptr, *level = nullptr;
    TableOptions reading;
    std::vector<Option> options = {
        {.name = "table",
         .shortName = 'i',
         .argument = "FILE",
         .help = "the count table (default: test.txt)",
         .parse = [&](const char* a) { table = a; },
         .brief = "the count table"},
        {.name = "header",
         .help = "the table's first line names its columns: the k-mer,\n"
                 "three more, then one name per sample",
         .parse = [&](const char*) { reading.header = true; },
         .brief = "the first line names the columns"},
        {.name = "report",
         .argument = "FILE",
         .help = "a row per sample (total, rows present, share, mean\n"
                 "where present, depth over its group's median, outlier)\n"
                 "and per group; MultiQC's JSON when FILE ends in .json",
         .parse = [&](const char* a) { report = a; },
         .brief = "the samples' depth and presence: TSV, or MultiQC's JSON for *.json"},
        {.name = "spectrum",
         .argument = "FILE",
         .help = "the rows present in exactly i cases and j controls,\n"
                 "for every i and j, as a table",
         .parse = [&](const char* a) { spectrum = a; },
         .brief = "the presence spectrum, as a table"},
        {.name = "spectrum-plot",
         .argument = "FILE",
         .help = "the presence spectrum as an SVG heatmap",
         .parse = [&](const char* a) { plot = a; },
         .brief = "the presence spectrum, as an SVG heatmap"},
        {.name = "compress-level",
         .argument = "N",
         .help = "the level of .gz outputs, 0 to 9 (default: 1), or\n"
                 "of .zst outputs, 1 to 19 (default: 3)",
         .parse = [&](const char* a) { level = a; },
         .brief = "the level of .gz (0 to 9) and .zst (1 to 19) outputs"}};
    const Command command = parseOptions(argc, argv, options, help, 2);
    const std::vector<const char*>& numbers = command.operands;
    if (numbers.size() < 2)
        failUsage("expected two arguments: the numbers of case and control samples");
    const int32_t noCases = sampleCount(numbers[0], "case");
    const int32_t noControls = sampleCount(numbers[1], "control");
    // The line of means on standard output, then the files asked for.
    std::vector<const char*> paths{"-"};
    for (const char* path : {report, spectrum, plot})
        if (path) paths.push_back(path);
    const int compressLevel = parseCompressLevel(level);
    checkCompressLevel(paths.data() + 1, paths.size() - 1, compressLevel);
    checkOneStandard(paths.data(), paths.size(), "output");
    enterDirectory(command);
    checkDistinct(&table, 1, paths.data(), paths.size());
    reading.samples = report || spectrum || plot;
    if (reading.samples && (noCases > Spectrum::maxBins || noControls > Spectrum::maxBins))
        warn("more than %lld samples on a side: the spectrum counts them in %lld bins",
             static_cast<long long>(Spectrum::maxBins), static_cast<long long>(Spectrum::maxBins));

    RunThreads threads(command.threads, anyZstd(paths));
    const auto in = openInputSource(table, options[0], threads.pool());
    const std::vector<Output*> made = outputs.create(paths);
    const TableRead read = readTable(*in, inputName(table), noCases, noControls,
                                     RecordThreads{&threads.pool()}, reading);

    char text[256];
    const size_t length = formatMeans(read.totals, text, sizeof text);
    {
        OutputFile out(*made[0], sizeof text);
        out.write(text, length);
        out.close();
    }
    const OutputOptions files{&threads, compressLevel};
    size_t next = 1;
    if (report) {
        const std::string description = "The samples of " + std::string(inputName(table)) + ": " +
                                        std::to_string(noCases) + " cases, " +
                                        std::to_string(noControls) + " controls, " +
                                        std::to_string(read.totals.lineCount) + " rows";
        writeWhole(*made[next++],
                   sampleReport(read.samples, static_cast<uint64_t>(read.totals.lineCount), noCases,
                                read.names, jsonReportName(report), description),
                   files);
    }
    if (spectrum) writeWhole(*made[next++], read.spectrum.tsv(), files);
    if (plot) writeWhole(*made[next++], read.spectrum.svg(), files);
    outputs.commit();
}

}  // namespace

int runCohortmeans(int argc, char** argv) {
    return runTool("cohortmeans", [&](OutputSet& outputs) { run(argc, argv, outputs); });
}
