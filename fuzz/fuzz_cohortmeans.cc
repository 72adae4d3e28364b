// cohortmeans over arbitrary tables: the totals must be those of a
// straightforward reading, the run must fail exactly at the first bad row,
// and the summary is always one whole line of five numbers.
#include <algorithm>
#include <cstring>

#include "cohortmeans.h"
#include "fuzz_support.h"
#include "reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const int32_t noCases = data[0] % 8, noControls = data[1] % 8;
    const size_t bufferSize = bufferSizeFor(data[0]);
    useKernelsFor(data[1] / 8);
    const std::string table(reinterpret_cast<const char*>(data) + 2, size - 2);

    Totals expected;
    size_t badLine = 0;
    const std::vector<std::string> lines = splitLines(table);
    for (size_t i = 0; i < lines.size() && !badLine; ++i) {
        RowSums row;
        const RowResult r = referenceRow(lines[i], noCases, noControls, row);
        if (r.status == RowStatus::Blank) continue;
        if (r.status != RowStatus::Ok) {
            badLine = i + 1;
            break;
        }
        ++expected.lineCount;
        expected.value += row.value;
        expected.addCounts(row);
    }

    int in = memoryFile(table);
    try {
        const auto source = plainSource(in);
        const Totals got =
            sumTable(*source, "test.txt", noCases, noControls, {0, size_t{1} << 20, bufferSize});
        CHECK(!badLine);
        char text[256], want[256];
        const size_t length = formatMeans(got, text, sizeof text);
        CHECK(length == formatMeans(expected, want, sizeof want) &&
              std::memcmp(text, want, length) == 0);
        CHECK(length < sizeof text && text[length - 1] == '\n');
        CHECK(std::count(text, text + length, ',') == 4 &&
              std::count(text, text + length, '\n') == 1);
    } catch (const Failure& failure) {
        CHECK(badLine &&
              failure.message.rfind("test.txt:" + std::to_string(badLine) + ": ", 0) == 0);
    }
    return 0;
}
