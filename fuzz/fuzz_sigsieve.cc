// sigsieve's filter over arbitrary records: it must write exactly the
// records whose p-value passes, numbered without gaps, and fail exactly at
// the first line that is not a record.
#include "fuzz_support.h"
#include "reference.h"
#include "sigsieve.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static const int64_t totals[] = {1, 3, 7, 100, 1000000, 10000000, 999999999989, INT64_MAX};
    const Threshold threshold = makeThreshold(totals[data[0] % std::size(totals)]);
    const size_t bufferSize = bufferSizeFor(data[0]);
    useKernelsFor(data[0] / 8);
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);

    // The expected output, and the line of the first malformed record.
    std::string expected;
    size_t badLine = 0;
    int64_t index = 0;
    const std::vector<std::string> lines = splitLines(input);
    for (size_t i = 0; i < lines.size() && !badLine; ++i) {
        const std::vector<std::string> fields = splitWords(lines[i]);
        if (fields.empty()) continue;
        Verdict v =
            fields.size() < 4 ? Verdict::NotANumber : referenceVerdict(fields[3], threshold.value);
        if (v == Verdict::NotANumber) badLine = i + 1;
        if (v == Verdict::Pass) expected += ">" + std::to_string(index++) + "\n" + fields[0] + "\n";
    }

    int in = memoryFile(input);
    int outFd = memoryFile("", 1);
    std::string message;
    {
        OutputFile out(outFd, "out", 64);
        try {
            const auto source = plainSource(in);
            filter(*source, "in", out, threshold, {0, size_t{1} << 20, bufferSize});
        } catch (const Failure& failure) {
            message = failure.message;
        }
        out.flush();
    }
    if (badLine) {
        CHECK(message.rfind("in:" + std::to_string(badLine) + ": ", 0) == 0);
    } else {
        CHECK(message.empty());
    }
    CHECK(contents(outFd) == expected);
    return 0;
}
