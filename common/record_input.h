// Record input shared by all tools: reading text files line by line through
// one reusable buffer, splitting a line into fields, and reading numbers out
// of fields with the exact semantics of the C library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

// Size of the classic line buffer: a piece read by readLine holds at most
// lineSize - 1 characters of the file.
inline constexpr int32_t lineSize = 10240;

// Reads the next line piece into `buffer` (room for lineSize characters):
// at most lineSize - 1 characters, stopping after the first newline, which
// stays in the piece. Returns false when nothing more can be read. The tools
// do not use it (they read whole lines with LineReader); it is the piece
// primitive that LineReader generalises.
bool readLine(std::FILE* file, char* buffer);

// Field delimiters: tab, newline and space. A carriage return is not one.
inline bool isDelimiter(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

// Walks the fields of one line from left to right. Runs of delimiters count
// as one separator and there are no empty fields. A cursor over text that is
// followed by at least 16 readable bytes (as LineReader guarantees) may be
// made `padded`, which lets the search read whole blocks past the end.
struct FieldCursor {
    const char* pos;
    const char* end;
    bool padded;
    explicit FieldCursor(std::string_view line, bool padded = false)
        : pos(line.data()), end(line.data() + line.size()), padded(padded) {}
};

#ifdef __SSE2__
// 0xFF in each byte of the block that is a delimiter, 0 elsewhere.
inline __m128i delimiterBytes(__m128i block) {
    return _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8(' ')),
                                     _mm_cmpeq_epi8(block, _mm_set1_epi8('\t'))),
                        _mm_cmpeq_epi8(block, _mm_set1_epi8('\n')));
}
inline __m128i load16(const char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
#endif

// The first delimiter in [p, end), or end. Looks at 16 characters at a time;
// reads past end (but never uses what it reads there) only when `padded`.
inline const char* findDelimiter(const char* p, const char* end, bool padded) {
#ifdef __SSE2__
    for (; padded || end - p >= 16; p += 16) {
        unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(delimiterBytes(load16(p))));
        if (end - p < 16) mask |= ~0u << (end - p);  // the end stops the field too
        if (mask) return p + __builtin_ctz(mask);
    }
#else
    (void)padded;
#endif
    while (p != end && !isDelimiter(*p)) ++p;
    return p;
}

// For up to 64 characters (len <= 64) followed by 64 readable bytes: a mask
// with bit i set when character i is a delimiter or i >= len. Fields are the
// runs of clear bits.
inline uint64_t delimiterMask(const char* p, size_t len) {
    uint64_t mask = 0;
#ifdef __SSE2__
    for (int i = 0; i < 4; ++i) {
        const __m128i hits = delimiterBytes(load16(p + 16 * i));
        mask |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hits))) << (16 * i);
    }
#else
    for (size_t i = 0; i < len; ++i) mask |= static_cast<uint64_t>(isDelimiter(p[i])) << i;
#endif
    return len < 64 ? mask | (~uint64_t{0} << len) : mask;
}

// Stores the next field in `field` and returns true, or returns false once
// the line holds no further field.
inline bool nextField(FieldCursor& cursor, std::string_view& field) {
    const char* p = cursor.pos;
    const char* end = cursor.end;
    while (p != end && isDelimiter(*p)) ++p;
    if (p == end) {
        cursor.pos = p;
        return false;
    }
    const char* stop = findDelimiter(p, end, cursor.padded);
    field = std::string_view(p, static_cast<size_t>(stop - p));
    cursor.pos = stop;
    return true;
}

// Like atoi in the "C" locale: optional white space, an optional sign, then
// decimal digits up to the first other character; no digits reads 0. A value
// outside the 32-bit range saturates to INT32_MIN or INT32_MAX and sets
// *outOfRange (when given) to true; otherwise *outOfRange is set to false.
int32_t parseInt(std::string_view text, bool* outOfRange = nullptr);

// Reads the longest leading floating-point number of `text` exactly as
// strtod does in the "C" locale (decimal and hexadecimal forms, inf,
// infinity, nan, nan(chars), overflow to +-inf, underflow to 0 or a
// subnormal). Returns how many characters were consumed; 0 means the text
// does not start with a number, and then `value` is 0.0.
size_t scanReal(std::string_view text, double& value);

// The value of scanReal, 0.0 when the text does not start with a number.
inline double parseReal(std::string_view text) {
    double value;
    scanReal(text, value);
    return value;
}

// Reads a file descriptor line by line through one reusable buffer.
//
// A line ends at a newline or at the end of the input; its terminator ("\n",
// "\r\n", or a final "\r" at the end of the input) is not part of the
// returned text. With pieceLimit 0 the buffer grows to the longest line, so
// every record is a whole line. With a pieceLimit, memory stays constant and
// a longer line arrives as several consecutive pieces; `complete` tells which
// piece ends its line.
class LineReader {
  public:
    static constexpr size_t defaultCapacity = size_t{256} << 10;

    // `capacity` is the size of the reads and, without a pieceLimit, the
    // buffer's starting size (at least 16).
    explicit LineReader(int fd, size_t pieceLimit = 0, size_t capacity = defaultCapacity);
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // Returns false at the end of the input or after a failed read, which
    // error() then reports. The text stays valid until the next call, and the
    // byte just past it may be overwritten by the caller. At least
    // readPadding further bytes after the text are readable.
    bool next(std::string_view& text, bool& complete);
    bool next(std::string_view& text) {
        bool complete;
        return next(text, complete);
    }

    // errno of the failed read or allocation, 0 if none failed.
    int error() const { return error_; }
    // 1-based number of the line that the last returned text belongs to.
    uint64_t lineNumber() const { return lineNumber_; }

    static constexpr size_t readPadding = 64;

  private:
    bool fill();
    char* findNewline();
    static constexpr size_t maskNone = ~size_t{0} - 64;

    int fd_;
    size_t limit_;
    char* buf_ = nullptr;
    size_t cap_ = 0;
    size_t begin_ = 0;            // start of the unread text
    size_t scan_ = 0;             // everything in [begin_, scan_) holds no newline
    size_t end_ = 0;              // end of the text read so far
    size_t maskBase_ = maskNone;  // newline mask of the whole block at maskBase_
    uint64_t mask_ = 0;
    bool eof_ = false;
    bool atLineStart_ = true;
    int error_ = 0;
    uint64_t lineNumber_ = 0;
};
