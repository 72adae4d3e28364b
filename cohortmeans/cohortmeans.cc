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

}  // namespace

int main(int argc, char** argv) {
    startTool("cohortmeans", argc, argv, usage);
    if (argc < 3) failUsage("expected two arguments: the numbers of case and control samples");
    const int32_t noCases = sampleCount(argv[1], "case");
    const int32_t noControls = sampleCount(argv[2], "control");
    const int64_t needed = int64_t{4} + noCases + noControls;

    int in = openInput(inputName);
    LineReader reader(in);
    double totalValue = 0, totalCaseSum = 0, totalControlSum = 0, totalCasesPresent = 0,
           totalControlsPresent = 0;
    int64_t lineCount = 0;
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
                     reader.lineNumber(),
                     static_cast<int>(result.badCount.size() < 40 ? result.badCount.size() : 40),
                     result.badCount.data());
            case RowStatus::Ok:
                break;
        }
        ++lineCount;
        totalValue += row.value;
        totalCaseSum += static_cast<double>(row.caseSum);
        totalControlSum += static_cast<double>(row.controlSum);
        totalCasesPresent += row.casesPresent;
        totalControlsPresent += row.controlsPresent;
    }
    if (reader.error()) fail("cannot read '%s': %s", inputName, std::strerror(reader.error()));
    close(in);

    // With no rows every mean is 0/0; it is printed as -nan, the value that
    // division gives on x86-64, whatever the machine.
    const double count = static_cast<double>(lineCount);
    auto mean = [&](double total) { return lineCount ? total / count : -std::nan(""); };
    char text[256];
    const int length =
        std::snprintf(text, sizeof text, "%g,%g,%g,%g,%g\n", mean(totalValue), mean(totalCaseSum),
                      mean(totalControlSum), mean(totalCasesPresent), mean(totalControlsPresent));
    OutputFile out(STDOUT_FILENO, "standard output", sizeof text);
    out.write(text, static_cast<size_t>(length));
    out.close();
    return 0;
}
