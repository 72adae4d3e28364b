// cohortmeans: sums up a table of per-sample k-mer counts as five averages.
//
// Usage: cohortmeans NCASES NCONTROLS. Reads "test.txt", one k-mer per row:
// the k-mer, two columns not used, a real value, NCASES case counts, then
// NCONTROLS control counts. Prints one line on standard output: the means
// over all rows of the value, of the case count total, of the control count
// total, of the number of case samples with a count above 0, and of the
// number of control samples with one, separated by "," in the %g format.
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "count_row.h"
#include "record_input.h"
#include "tool.h"

namespace {

const char inputName[] = "test.txt";

const char usage[] =
    "Usage: cohortmeans NCASES NCONTROLS\n"
    "Reads the count table \"test.txt\" in the current directory and prints one\n"
    "line of five means over its rows:\n"
    "  value,case total,control total,cases present,controls present\n"
    "Each row holds, separated by tabs or spaces: the k-mer, two columns that are\n"
    "not used, a real value, NCASES case counts and NCONTROLS control counts;\n"
    "further fields are ignored and blank lines skipped. A sample is present\n"
    "when its count is above 0. An empty table prints -nan for every mean.\n"
    "NCASES and NCONTROLS are whole numbers >= 0; further arguments are ignored.\n"
    "\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "Exit status: 0 on success, 1 if test.txt cannot be read, holds a row with\n"
    "too few fields or a count outside the 32-bit range, or the line cannot be\n"
    "written; 2 for invalid arguments.\n";

// A sample count: a whole non-negative decimal number, optionally with a
// leading '+', that fits in 32 bits.
int32_t sampleCount(const char* arg, const char* what) {
    const char* p = arg + (*arg == '+');
    int64_t value = 0;
    if (*p == '\0') failUsage("invalid number of %s samples: '%s'", what, arg);
    for (; *p; ++p) {
        if (*p < '0' || *p > '9') failUsage("invalid number of %s samples: '%s'", what, arg);
        value = value * 10 + (*p - '0');
        if (value > INT32_MAX) failUsage("number of %s samples is too large: '%s'", what, arg);
    }
    return static_cast<int32_t>(value);
}

struct Totals {
    double value = 0, caseSum = 0, controlSum = 0, casesPresent = 0, controlsPresent = 0;
    int64_t lineCount = 0;

    void add(const RowSums& row) {
        ++lineCount;
        value += row.value;
        caseSum += static_cast<double>(row.caseSum);
        controlSum += static_cast<double>(row.controlSum);
        casesPresent += row.casesPresent;
        controlsPresent += row.controlsPresent;
    }
};

// Adds up every row of the table.
Totals sumTable(int in, int32_t noCases, int32_t noControls,
                size_t bufferSize = LineReader::defaultCapacity) {
    const int64_t needed = int64_t{4} + noCases + noControls;
    Totals totals;
    LineReader reader(in, 0, bufferSize);
    std::string_view line;
    RowSums row;
    while (reader.next(line)) {
        const RowResult result = readRow(line, noCases, noControls, row);
        switch (result.status) {
            case RowStatus::Blank:
                continue;
            case RowStatus::TooFewFields:
                fail("%s:%" PRIu64 ": %" PRId64 " field%s, a row needs %" PRId64
                     " (k-mer, 3 columns, %" PRId32 " case and %" PRId32 " control counts)",
                     inputName, reader.lineNumber(), result.fieldsFound,
                     result.fieldsFound == 1 ? "" : "s", needed, noCases, noControls);
            case RowStatus::CountOutOfRange:
                fail("%s:%" PRIu64 ": count '%.*s' is out of the 32-bit range", inputName,
                     reader.lineNumber(), shown(result.badCount.size()), result.badCount.data());
            case RowStatus::Ok:
                break;
        }
        totals.add(row);
    }
    if (reader.error()) fail("cannot read '%s': %s", inputName, std::strerror(reader.error()));
    return totals;
}

// Writes the summary line to `text` (at least 128 bytes); returns its length.
// With no rows every mean is 0/0; it is printed as -nan, the value that
// division gives on x86-64, whatever the machine.
size_t formatMeans(const Totals& totals, char* text, size_t size) {
    const double count = static_cast<double>(totals.lineCount);
    auto mean = [&](double total) { return totals.lineCount ? total / count : -std::nan(""); };
    const int length = std::snprintf(text, size, "%g,%g,%g,%g,%g\n", mean(totals.value),
                                     mean(totals.caseSum), mean(totals.controlSum),
                                     mean(totals.casesPresent), mean(totals.controlsPresent));
    return static_cast<size_t>(length);
}

}  // namespace

int main(int argc, char** argv) {
    startTool("cohortmeans", argc, argv, usage);
    if (argc < 3) failUsage("expected two arguments: the numbers of case and control samples");
    const int32_t noCases = sampleCount(argv[1], "case");
    const int32_t noControls = sampleCount(argv[2], "control");

    int in = openInput(inputName);
    const Totals totals = sumTable(in, noCases, noControls);
    close(in);

    char text[256];
    const size_t length = formatMeans(totals, text, sizeof text);
    OutputFile out(STDOUT_FILENO, "standard output", sizeof text);
    out.write(text, length);
    out.close();
    return 0;
}
