// Line reading, field splitting and number parsing over arbitrary bytes.
#include <cstdio>
#include <cstring>

#include "fuzz_support.h"
#include "record_input.h"
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

    // Lines, whole or in pieces of a size the first byte picks.
    const size_t limit = size && data[0] < 32 ? 1 + data[0] % 8 : 0;
    const size_t bufferSize = bufferSizeFor(size ? data[0] : 0);
    const std::vector<std::string> lines = splitLines(text);
    int fd = memoryFile(text);
    LineReader reader(fd, limit, bufferSize);
    std::string_view piece;
    bool complete;
    std::string line;
    size_t count = 0;
    while (reader.next(piece, complete)) {
        CHECK(complete || !piece.empty());
        line += piece;
        CHECK(reader.lineNumber() == count + 1);
        if (!complete) continue;
        CHECK(count < lines.size() && line == lines[count]);

        // Fields: the maximal runs of non-delimiters, found the same way
        // with or without reading whole blocks past the end.
        std::string padded = line + std::string(64, 'x');
        FieldCursor plain(line), fast(std::string_view(padded.data(), line.size()), true);
        std::string_view a, b;
        size_t at = 0;
        while (nextField(plain, a)) {
            CHECK(nextField(fast, b) && a == b && !a.empty());
            while (isDelimiter(line[at])) ++at;
            CHECK(line.compare(at, a.size(), a) == 0);
            at += a.size();
            CHECK(at == line.size() || isDelimiter(line[at]));
        }
        CHECK(!nextField(fast, b));
        if (line.size() <= 64) {
            const uint64_t mask = delimiterMask(padded.data(), line.size());
            for (size_t i = 0; i < 64; ++i)
                CHECK(((mask >> i) & 1) == (i >= line.size() || isDelimiter(line[i])));
        }
        line.clear();
        ++count;
    }
    CHECK(reader.error() == 0 && count == lines.size());
    return 0;
}
