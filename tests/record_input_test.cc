#include "record_input.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "number_texts.h"
#include "reference.h"

namespace {

// A file descriptor reading `content`, from an anonymous in-memory file.
int memoryFile(const std::string& content) {
    int fd = memfd_create("input", 0);
    if (fd < 0 || write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        std::abort();
    lseek(fd, 0, SEEK_SET);
    return fd;
}

std::vector<std::string> pieces(const std::string& content) {
    FILE* f = fmemopen(const_cast<char*>(content.data()), content.size(), "r");
    std::vector<char> buffer(lineSize + 1);
    std::vector<std::string> result;
    while (readLine(f, buffer.data())) result.emplace_back(buffer.data());
    fclose(f);
    return result;
}

std::vector<std::string> fields(const std::string& line) {
    FieldCursor cursor(line);
    std::vector<std::string> result;
    std::string_view field;
    while (nextField(cursor, field)) result.emplace_back(field);
    return result;
}

TEST(ReadLine, SplitsIntoPiecesOfAtMostLineSizeMinusOne) {
    const std::string full(lineSize - 2, 'x');  // plus newline: lineSize - 1
    const std::string over(lineSize - 1, 'y');  // plus newline: lineSize
    struct Case {
        std::string content;
        std::vector<std::string> expected;
    } cases[] = {
        {"", {}},
        {"abc", {"abc"}},
        {"a\nb\n", {"a\n", "b\n"}},
        {"\n\n", {"\n", "\n"}},
        {"x\r\n", {"x\r\n"}},
        {full + "\n", {full + "\n"}},
        {over + "\n", {over, "\n"}},
    };
    for (const auto& c : cases) EXPECT_EQ(pieces(c.content), c.expected) << c.content.size();
}

TEST(NextField, SplitsOnTabSpaceAndNewlineOnly) {
    struct Case {
        std::string line;
        std::vector<std::string> expected;
    } cases[] = {
        {"a\t\tb\n", {"a", "b"}},
        {" \t \n", {}},
        {"", {}},
        {"0.5\r\n", {"0.5\r"}},
        {"  lead   trail  ", {"lead", "trail"}},
        {"k\v1\f2", {"k\v1\f2"}},
        {std::string("a\0b c", 5), {std::string("a\0b", 3), "c"}},
    };
    for (const auto& c : cases) EXPECT_EQ(fields(c.line), c.expected) << c.line;
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

uint64_t bits(double d) {
    uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
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
    EXPECT_TRUE(std::isnan(parseReal("NaN(x1)")));
    EXPECT_TRUE(std::signbit(parseReal("-nan")));
}

TEST(ParseReal, MatchesStrtodBitForBit) {
    NumberTexts texts(42);
    for (int i = 0; i < 3000000; ++i) {
        const std::string s = texts.next();
        char* stop;
        const double expected = std::strtod(s.c_str(), &stop);
        double got;
        const size_t used = scanReal(s, got);
        ASSERT_EQ(used, static_cast<size_t>(stop - s.c_str())) << s;
        // strtod gives +0.0 when nothing was read; so does scanReal.
        ASSERT_EQ(bits(got), bits(expected)) << s;
    }
}

// Reads all of `content` with a LineReader and returns the lines it gave,
// each the concatenation of its pieces.
std::vector<std::string> readAll(const std::string& content, size_t limit) {
    int fd = memoryFile(content);
    LineReader reader(fd, limit);
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
    close(fd);
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

TEST(LineReader, ReportsAFailedRead) {
    int fd = open(".", O_RDONLY | O_DIRECTORY);
    LineReader reader(fd);
    std::string_view text;
    EXPECT_FALSE(reader.next(text));
    EXPECT_EQ(reader.error(), EISDIR);
    close(fd);
}

}  // namespace
