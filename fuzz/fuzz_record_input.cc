// Line reading, field splitting and number parsing over arbitrary bytes.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "fuzz_support.h"
#include "lines.h"
#include "numbers.h"
#include "reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    // Numbers: the C library reads the text up to its first NUL byte.
    const std::string cText = text.substr(0, text.find('\0'));
    char* stop;
    const double expected = std::strtod(cText.c_str(), &stop);
    double value;
    CHECK(scanReal(text, value) == static_cast<size_t>(stop - cText.c_str()));
    CHECK(std::memcmp(&value, &expected, sizeof value) == 0);
    const long long wide = std::strtoll(cText.c_str(), nullptr, 10);
    bool outOfRange;
    const int32_t narrow = parseInt(text, &outOfRange);
    CHECK(outOfRange == (wide < INT32_MIN || wide > INT32_MAX));
    if (!outOfRange) CHECK(narrow == wide);

    // Lines, whole or in pieces of a size the first byte picks, under a
    // kernel set the second byte picks.
    const size_t limit = size && data[0] < 32 ? 1 + data[0] % 8 : 0;
    const size_t bufferSize = bufferSizeFor(size ? data[0] : 0);
    useKernelsFor(size > 1 ? data[1] : 0);
    const std::vector<std::string> lines = splitLines(text);
    const auto source = plainSource(memoryFile(text));
    LineReader reader(*source, limit, bufferSize, true);
    std::string_view piece;
    bool complete;
    std::string line;
    size_t count = 0;
    while (reader.next(piece, complete)) {
        CHECK(complete || !piece.empty());
        line += piece;
        CHECK(reader.lineNumber() == count + 1);
        if (complete && limit == 0) {
            // Fields, by nextField and by splitFields, and the counts of
            // the line from its second field on.
            const std::vector<std::string> expected = splitWords(line);
            FieldCursor cursor(reader, piece), split(reader, piece);
            std::string_view field, first[3];
            for (const std::string& e : expected) CHECK(nextField(cursor, field) && field == e);
            CHECK(!nextField(cursor, field));
            const int found = splitFields(split, 1, first);
            CHECK(static_cast<size_t>(found) == std::min<size_t>(1, expected.size()));
            const int64_t n = size > 2 ? data[2] % 16 : 3;
            const simd::CountWalk walk = simd::kernels().walkCounts(split.pos, split.end, n);
            const ReferenceWalk want = referenceWalk(line, static_cast<size_t>(found), n);
            CHECK((walk.bad != nullptr) == want.bad);
            int32_t counts[16 + simd::kCountSlack];
            const simd::CountWalk read =
                simd::kernels().readCounts(split.pos, split.end, n, counts);
            CHECK(read.bad == walk.bad && read.read == walk.read);
            if (!want.bad)
                CHECK(walk.sum == want.sum && walk.present == want.present &&
                      walk.read == want.read &&
                      std::equal(want.counts.begin(), want.counts.end(), counts));
        }
        if (!complete) continue;
        CHECK(count < lines.size() && line == lines[count]);
        line.clear();
        ++count;
    }
    CHECK(reader.error() == 0 && count == lines.size());
    return 0;
}
