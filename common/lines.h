// Lines and fields: reading a byte source line by line through one
// reusable buffer, and splitting a line into fields.
//
// Each buffer the reader fills is indexed once by the scanning kernels
// (simd/kernels.h): a newline mask and, for readers that split fields, a
// delimiter mask, one bit per byte. Finding the next line and the next field
// are then bit operations on those masks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "source.h"

// Reads a byte source line by line.
//
// A line ends at a newline or at the end of the input; its terminator ("\n",
// "\r\n", or a final "\r" at the end of the input) is not part of the
// returned text. With pieceLimit 0 the buffer grows to the longest line, so
// every record is a whole line, up to a limit (256 MiB by default): a longer
// line is an error (tooLong()), found before more than that is held. With a pieceLimit, memory
// stays constant and a longer line arrives as several consecutive pieces; `complete` tells which
// piece ends its line.
class LineReader {
  public:
    static constexpr size_t defaultCapacity = size_t{256} << 10;
    // Readable bytes after the end of every returned text.
    static constexpr size_t readPadding = 64;
    static constexpr size_t defaultMaxLine = size_t{256} << 20;

    // `capacity` is the size of the reads and, without a pieceLimit, the
    // buffer's starting size (at least 16). With `fields`, the reader also
    // indexes delimiters for FieldCursor.
    explicit LineReader(ByteSource& source, size_t pieceLimit = 0,
                        size_t capacity = defaultCapacity, bool fields = false);
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // Returns false at the end of the input or after a failed read, which
    // error() then reports. The text stays valid until the next call.
    bool next(std::string_view& text, bool& complete) {
        // The common case inline: a whole line whose newline lies within
        // 64 bytes.
        if (scan_ < end_ && atLineStart_) {
            const uint64_t bits = window(newlines_, scan_);
            const size_t stop =
                scan_ + static_cast<size_t>(__builtin_ctzll(bits | (uint64_t{1} << 63)));
            if (bits && stop < end_) {
                const size_t length = stop - begin_;
                text = std::string_view(buf_ + begin_, length - (length && buf_[stop - 1] == '\r'));
                begin_ = scan_ = stop + 1;
                ++lineNumber_;
                complete = true;
                return true;
            }
        }
        return nextSlow(text, complete);
    }
    bool next(std::string_view& text) {
        bool complete;
        return next(text, complete);
    }

    // errno of the failed read or allocation, 0 if none failed.
    int error() const { return error_; }
    // Whether the failure was a line longer than maxLine().
    bool tooLong() const { return tooLong_; }
    size_t maxLine() const { return defaultMaxLine; }
    // 1-based number of the line that the last returned text belongs to.
    uint64_t lineNumber() const { return lineNumber_; }
    // Bytes of the source up to the end of the last returned text.
    uint64_t offset() const { return taken_ - (end_ - begin_); }
    ByteSource& source() { return *source_; }
    const ByteSource& source() const { return *source_; }

    // For a reader made with `fields`: bit i set when p[i] is a space, tab
    // or newline, for the 64 bytes at p, which lies in the last returned
    // text. Bits for bytes past the end of that text are arbitrary.
    uint64_t delimiterBits(const char* p) const {
        return window(delimiters_, static_cast<size_t>(p - buf_));
    }

  private:
    // The 64 bits of a mask that start at byte `at`.
    static uint64_t window(const uint64_t* masks, size_t at) {
        const size_t word = at >> 6, shift = at & 63;
#if defined(__x86_64__)
        // The two words as one, shifted: one double shift, where the plain
        // expression below takes six instructions (this runs twice a line).
        uint64_t bits = masks[word];
        __asm__("shrdq %%cl, %1, %0" : "+r"(bits) : "r"(masks[word + 1]), "c"(shift) : "cc");
        return bits;
#else
        // The second term is the next word's bits, moved in without a shift
        // by 64 when shift is 0.
        return (masks[word] >> shift) | ((masks[word + 1] << 1) << (63 - shift));
#endif
    }
    bool nextSlow(std::string_view& text, bool& complete);
    bool fill();
    char* findNewline();
    void reindex(size_t from, size_t to);

    ByteSource* source_;
    size_t limit_;
    bool fields_;
    char* buf_ = nullptr;
    uint64_t* newlines_ = nullptr;    // one word per 64 bytes of buf_
    uint64_t* delimiters_ = nullptr;  // likewise, with `fields`
    size_t cap_ = 0;
    size_t begin_ = 0;  // start of the unread text
    size_t scan_ = 0;   // everything in [begin_, scan_) holds no newline
    size_t end_ = 0;    // end of the text read so far
    bool eof_ = false;
    bool atLineStart_ = true;
    bool tooLong_ = false;
    int error_ = 0;
    uint64_t lineNumber_ = 0;
    uint64_t taken_ = 0;  // bytes read from the source
};

// Walks the fields of a line that a LineReader made with `fields` returned,
// from left to right. Runs of delimiters count as one separator and there
// are no empty fields.
struct FieldCursor {
    const LineReader* reader;
    const char* pos;
    const char* end;
    FieldCursor(const LineReader& reader, std::string_view line)
        : reader(&reader), pos(line.data()), end(line.data() + line.size()) {}
};

// Stores the next field in `field` and returns true, or returns false once
// the line holds no further field.
bool nextField(FieldCursor& cursor, std::string_view& field);

int splitLongFields(FieldCursor& cursor, int want, std::string_view* fields);

// Stores the first fields of the line (at most `want`) in `fields` and
// returns how many there are. The cursor is left after the last one.
// Quicker than nextField: a line shorter than 64 bytes is split with one
// mask.
inline int splitFields(FieldCursor& cursor, int want, std::string_view* fields) {
    const char* base = cursor.pos;
    const size_t size = static_cast<size_t>(cursor.end - base);
    if (size >= 64) return splitLongFields(cursor, want, fields);
    const uint64_t delimiters = cursor.reader->delimiterBits(base) | (~uint64_t{0} << size);
    uint64_t starts = ~delimiters & ((delimiters << 1) | 1);
    int found = 0;
    cursor.pos = cursor.end;
    for (; found < want && starts; ++found) {
        const int start = __builtin_ctzll(starts);
        const int stop = start + __builtin_ctzll(delimiters >> start);
        fields[found] = std::string_view(base + start, static_cast<size_t>(stop - start));
        if (found + 1 == want) cursor.pos = base + stop;
        starts &= starts - 1;
    }
    return found;
}

// splitFields(cursor, 4, fields) for a reader that uses only the first and
// the fourth field: the count, up to 4, is the same, and `first` and (when
// there are four) `fourth` and the cursor are set as it sets fields[0] and
// fields[3]. A short line takes no loop, and the two fields can stay in
// registers.
inline int splitFirstAndFourth(FieldCursor& cursor, std::string_view& first,
                               std::string_view& fourth) {
    const char* base = cursor.pos;
    const size_t size = static_cast<size_t>(cursor.end - base);
    if (size >= 64) {
        std::string_view fields[4];
        const int found = splitLongFields(cursor, 4, fields);
        first = fields[0];
        fourth = fields[3];
        return found;
    }
    const uint64_t delimiters = cursor.reader->delimiterBits(base) | (~uint64_t{0} << size);
    const uint64_t starts = ~delimiters & ((delimiters << 1) | 1);
    cursor.pos = cursor.end;
    if (!starts) return 0;
    const auto field = [&](uint64_t from) {
        const int start = __builtin_ctzll(from);
        const int stop = start + __builtin_ctzll(delimiters >> start);
        return std::string_view(base + start, static_cast<size_t>(stop - start));
    };
    first = field(starts);
    const uint64_t second = starts & (starts - 1), third = second & (second - 1),
                   last = third & (third - 1);
    if (!last) return third ? 3 : second ? 2 : 1;
    fourth = field(last);
    cursor.pos = fourth.data() + fourth.size();
    return 4;
}
