#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lines.h"
#include "memory_file.h"
#include "numbers.h"
#include "reference.h"
#include "sweeps.h"

namespace {

// The fields nextField and splitFields find in each line of `content`,
// read through a LineReader with buffers of `capacity` bytes.
void expectFieldsAsSplit(const std::string& content, size_t capacity) {
    const std::vector<std::string> lines = splitLines(content);
    const auto source = plainSource(memoryFile(content));
    LineReader reader(*source, 0, capacity, true);
    std::string_view line;
    size_t at = 0;
    while (reader.next(line)) {
        ASSERT_LT(at, lines.size());
        const std::vector<std::string> expected = splitWords(lines[at++]);
        FieldCursor cursor(reader, line);
        std::vector<std::string> got;
        std::string_view field;
        while (nextField(cursor, field)) got.emplace_back(field);
        ASSERT_EQ(got, expected) << line;
        for (int want = 1; want <= 5; ++want) {
            FieldCursor split(reader, line);
            std::string_view first[5];
            const int found = splitFields(split, want, first);
            ASSERT_EQ(static_cast<size_t>(found), std::min<size_t>(want, expected.size())) << line;
            for (int i = 0; i < found; ++i) ASSERT_EQ(first[i], expected[i]) << line;
            // The cursor goes on after the fields found.
            std::vector<std::string> rest(expected.begin() + found, expected.end());
            got.clear();
            while (nextField(split, field)) got.emplace_back(field);
            ASSERT_EQ(got, rest) << line;
        }
        // The first and fourth fields alone, and the cursor after them.
        FieldCursor split(reader, line);
        std::string_view first, fourth;
        const size_t found = static_cast<size_t>(splitFirstAndFourth(split, first, fourth));
        ASSERT_EQ(found, std::min<size_t>(4, expected.size())) << line;
        ASSERT_TRUE(found == 0 || first == expected[0]) << line;
        ASSERT_TRUE(found < 4 || fourth == expected[3]) << line;
        got.clear();
        while (nextField(split, field)) got.emplace_back(field);
        ASSERT_EQ(got.size(), found == 4 ? expected.size() - 4 : 0) << line;
    }
    EXPECT_EQ(at, lines.size());
}

TEST(Fields, SplitOnTabSpaceAndNewlineOnly) {
    expectFieldsAsSplit(
        "a\t\tb\n \t \n\n0.5\r\n  lead   trail  \nk\v1\f2\n" + std::string("a\0b c", 5), 16);
    std::mt19937_64 rng(8);
    const char alphabet[] = "ab \t\r\n\n";
    std::string content;
    for (int i = 0; i < 40000; ++i) content += alphabet[rng() % 7 ? rng() % 5 : 5 + rng() % 2];
    for (size_t capacity : {16, 100, 4096}) expectFieldsAsSplit(content, capacity);
    std::string longFields;
    for (int i = 0; i < 200; ++i)
        longFields += std::string(rng() % 150, 'x') + std::string(1 + rng() % 100, " \t"[i % 2]) +
                      (i % 7 ? "" : "\n");
    expectFieldsAsSplit(longFields, 64);
}

TEST(ParseInt, ReadsLikeAtoiAndFlagsOutOfRange) {
    struct Case {
        const char* text;
        int32_t value;
        bool outOfRange;
    } cases[] = {
        {"-2", -2, false},
        {"+7", 7, false},
        {"", 0, false},
        {"abc", 0, false},
        {"3.7", 3, false},
        {"12abc", 12, false},
        {" \r\v42", 42, false},
        {"0005", 5, false},
        {"+-5", 0, false},
        {"- 5", 0, false},
        {"2147483647", INT32_MAX, false},
        {"-2147483648", INT32_MIN, false},
        {"2147483648", INT32_MAX, true},
        {"-2147483649", INT32_MIN, true},
        {"99999999999999999999999999", INT32_MAX, true},
        {"-00000000000000000000000001", -1, false},
    };
    for (const auto& c : cases) {
        bool flag = !c.outOfRange;
        EXPECT_EQ(parseInt(c.text, &flag), c.value) << c.text;
        EXPECT_EQ(flag, c.outOfRange) << c.text;
    }
}

TEST(ParseInt, AgreesWithStrtollInsideTheRange) {
    std::mt19937_64 rng(11);
    const char alphabet[] = "0123456789+- \t\r\vx.";
    for (int i = 0; i < 200000; ++i) {
        std::string s;
        for (int n = rng() % 14; n > 0; --n) s += alphabet[rng() % (sizeof alphabet - 1)];
        long long expected = std::strtoll(s.c_str(), nullptr, 10);
        bool out;
        int32_t got = parseInt(s, &out);
        EXPECT_EQ(out, expected < INT32_MIN || expected > INT32_MAX) << s;
        if (!out) {
            EXPECT_EQ(got, expected) << s;
        }
    }
}

TEST(ParseReal, ReadsTheLeadingNumber) {
    struct Case {
        const char* text;
        double value;
        size_t used;
    } cases[] = {
        {"1e-5", 0.00001, 4},
        {"0.5\r", 0.5, 3},
        {"abc", 0.0, 0},
        {"", 0.0, 0},
        {".", 0.0, 0},
        {"-.", 0.0, 0},
        {"1e", 1.0, 1},
        {"1e+", 1.0, 1},
        {"0x", 0.0, 1},
        {"0x1p-3", 0.125, 6},
        {" +1.5", 1.5, 5},
        {"inf", INFINITY, 3},
        {"-Infinity", -INFINITY, 9},
        {"1e400", INFINITY, 5},
        {"1e-400", 0.0, 6},
        {"4.9e-324", 4.9e-324, 8},
        {"0.0004abc", 0.0004, 6},
    };
    for (const auto& c : cases) {
        double v = -1;
        EXPECT_EQ(scanReal(c.text, v), c.used) << c.text;
        EXPECT_EQ(bits(v), bits(c.value)) << c.text;
    }
    double v;
    EXPECT_EQ(scanReal("NaN(x1)", v), 7u);
    EXPECT_TRUE(std::isnan(v));
    EXPECT_EQ(scanReal("-nan", v), 4u);
    EXPECT_TRUE(std::signbit(v));
}

TEST(ParseReal, MatchesStrtodBitForBit) {
    sweepParseReal(100000);
    sweepShortPValues(200000);
}

// Reads all of `content` with a LineReader and returns the lines it gave,
// each the concatenation of its pieces.
std::vector<std::string> readAll(const std::string& content, size_t limit) {
    const auto source = plainSource(memoryFile(content));
    LineReader reader(*source, limit);
    std::vector<std::string> lines;
    std::string current;
    std::string_view text;
    bool complete;
    while (reader.next(text, complete)) {
        EXPECT_TRUE(complete ||
                    (!text.empty() && (limit == 0 || text.size() <= std::max<size_t>(limit, 2))));
        current += text;
        EXPECT_EQ(reader.lineNumber(), lines.size() + 1);
        if (complete) lines.push_back(std::move(current)), current.clear();
    }
    EXPECT_EQ(reader.error(), 0);
    EXPECT_TRUE(current.empty());
    return lines;
}

TEST(LineReader, GivesWholeLinesWithoutTerminators) {
    std::mt19937_64 rng(5);
    const char alphabet[] = "ab\r\n ";
    for (int i = 0; i < 3000; ++i) {
        std::string content;
        for (int n = rng() % 120; n > 0; --n) content += alphabet[rng() % 5];
        const auto expected = splitLines(content);
        for (size_t limit : {0, 1, 2, 3, 7, 64})
            ASSERT_EQ(readAll(content, limit), expected) << "limit " << limit << ": " << content;
    }
}

TEST(LineReader, GrowsToALineLongerThanItsBuffer) {
    const std::string big(3 << 20, 'g');
    const auto lines = readAll("x\n" + big + "\r\ny", 0);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], big);
    EXPECT_EQ(lines[2], "y");
}

// "a\n", `length` x's and "\nb\n", made as it is read.
class LongLine : public ByteSource {
  public:
    explicit LongLine(size_t length)
        : text_("a\n" + std::string(64, 'x') + "\nb\n"), length_(length) {}
    ssize_t read(char* dst, size_t n) override {
        const uint64_t size = length_ + 5;
        n = std::min<uint64_t>(n, size - at_);
        for (size_t i = 0; i < n;) {
            const uint64_t at = at_ + i;
            if (at >= 2 && at < 2 + length_) {  // a run of x's
                const size_t run = std::min<uint64_t>(n - i, 2 + length_ - at);
                std::memset(dst + i, 'x', run);
                i += run;
            } else {
                dst[i++] = at < 2 ? text_[at] : text_[at - length_ + 64];
            }
        }
        at_ += n;
        return static_cast<ssize_t>(n);
    }

  private:
    std::string text_;
    uint64_t length_, at_ = 0;
};

// A line of up to the limit, its terminator included, is read whole; a
// longer one stops the reader (which never holds more than the limit) and
// the line's number is the next.
TEST(LineReader, StopsAtALineLongerThanItsLimit) {
    const size_t max = LineReader::defaultMaxLine;
    for (const size_t length : {max - 1, max}) {
        LongLine source(length);
        LineReader reader(source, 0, 16);
        std::string_view text;
        ASSERT_TRUE(reader.next(text));
        const bool fits = length + 1 <= max;
        EXPECT_EQ(reader.next(text), fits) << length;
        EXPECT_EQ(reader.tooLong(), !fits) << length;
        EXPECT_EQ(reader.lineNumber(), fits ? 2u : 1u);
    }
}

TEST(LineReader, ReportsAFailedRead) {
    int fd = open(".", O_RDONLY | O_DIRECTORY);
    const auto source = plainSource(fd);
    LineReader reader(*source);
    std::string_view text;
    EXPECT_FALSE(reader.next(text));
    EXPECT_EQ(reader.error(), EISDIR);
    close(fd);
}

}  // namespace
