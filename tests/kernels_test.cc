// Every scanning kernel the CPU runs, against the definition and against
// the scalar kernels, over short inputs placed at every position around
// the edges of a 64-byte block.
#include "simd/kernels.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reference.h"
#include "sweeps.h"

namespace {

TEST(Kernels, IndexClassifiesEveryByteAtEveryPosition) {
    underEverySet([](simd::Set set) {
        const simd::Kernels& k = simd::kernelsFor(set);
        std::string buffer(3 * 64, 'a');
        uint64_t newlines[2], delimiters[2];
        for (int value = 0; value < 256; ++value) {
            const char c = static_cast<char>(value);
            const bool newline = c == '\n', delimiter = c == ' ' || c == '\t' || c == '\n';
            for (int at = 0; at < 128; ++at) {
                buffer[at] = c;
                k.index(buffer.data(), 2, newlines, delimiters);
                const uint64_t bit = uint64_t{1} << (at % 64);
                ASSERT_EQ(newlines[at / 64], newline ? bit : 0) << k.name << " " << value;
                ASSERT_EQ(delimiters[at / 64], delimiter ? bit : 0) << k.name << " " << value;
                ASSERT_EQ(newlines[1 - at / 64] | delimiters[1 - at / 64], 0u) << k.name;
                buffer[at] = 'a';
            }
        }
    });
}

// Every row of three counts drawn from a set of awkward fields, with either
// separator, shifted across the edge of the first block, walked in two
// parts as cohortmeans walks cases and controls.
TEST(Kernels, CountWalksMatchParseIntAcrossBlockEdges) {
    const char* const tokens[] = {"0", "5", "10", "909", "9999", "10000", "-1", "x", "00012"};
    const char* const seps[] = {" ", "\t\t"};
    std::vector<std::string> rows;
    for (const char* a : tokens)
        for (const char* b : tokens)
            for (const char* c : tokens)
                for (int s = 0; s < 8; ++s)
                    rows.push_back(std::string(a) + seps[s & 1] + b + seps[s >> 1 & 1] + c +
                                   (s & 4 ? " " : ""));
    underEverySet([&](simd::Set set) {
        const simd::Kernels& k = simd::kernelsFor(set);
        for (const std::string& row : rows) {
            for (size_t shift = 50; shift <= 66; ++shift) {
                // `shift` characters of one-digit fields before the row.
                std::string text;
                while (text.size() + 2 <= shift) text += "1 ";
                text.resize(shift, ' ');
                const size_t before = splitWords(text).size();
                text += row;
                const size_t size = text.size();
                text += std::string(64, '3');
                const char* end = text.data() + size;
                for (int64_t first = 0; first <= 4; ++first) {
                    const simd::CountWalk a = k.walkCounts(text.data(), end, before + first);
                    const ReferenceWalk ea = referenceWalk(text.substr(0, size), 0, before + first);
                    ASSERT_EQ(a.bad != nullptr, ea.bad) << k.name << ": " << row;
                    if (ea.bad) continue;
                    std::vector<int32_t> counts;
                    ASSERT_TRUE(
                        sameWalk(storedWalk(k, text.data(), end, before + first, counts), a));
                    ASSERT_EQ(counts, ea.counts) << k.name << ": " << row;
                    ASSERT_EQ(a.sum, ea.sum) << k.name << ": " << row;
                    ASSERT_EQ(a.present, ea.present) << k.name << ": " << row;
                    ASSERT_EQ(a.read, ea.read) << k.name << ": " << row;
                    const simd::CountWalk b = k.walkCounts(a.next, end, 4);
                    const ReferenceWalk eb = referenceWalk(text.substr(0, size), before + first, 4);
                    ASSERT_EQ(b.bad != nullptr, eb.bad) << k.name << ": " << row;
                    if (eb.bad) continue;
                    ASSERT_EQ(b.sum, eb.sum) << k.name << ": " << row << " from " << first;
                    ASSERT_EQ(b.present, eb.present) << k.name << ": " << row;
                    ASSERT_EQ(b.read, eb.read) << k.name << ": " << row;
                }
            }
        }
    });
}

TEST(Kernels, MatchScalarOnRandomLongBuffers) {
    sweepKernels(3000);
}

TEST(Kernels, CountRowsMatchAStraightforwardReading) {
    underEverySet([](simd::Set) { sweepCountRows(20000); });
}

}  // namespace
