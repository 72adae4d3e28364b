#include "record_input.h"

#include <locale.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>

bool readLine(std::FILE* file, char* buffer) {
    return std::fgets(buffer, lineSize, file) != nullptr;
}

namespace {

// White space as isspace() sees it in the "C" locale.
inline bool isCSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

inline bool isDigit(char c) {
    return static_cast<unsigned char>(c - '0') < 10;
}

locale_t cLocale() {
    static locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

// strtod in the "C" locale on a copy of the text, which need not be
// terminated.
size_t scanRealSlow(std::string_view text, double& value) {
    char small[256];
    std::string large;
    const char* s;
    if (text.size() < sizeof small) {
        std::memcpy(small, text.data(), text.size());
        small[text.size()] = '\0';
        s = small;
    } else {
        large.assign(text);
        s = large.c_str();
    }
    char* stop;
    int savedErrno = errno;
    value = strtod_l(s, &stop, cLocale());
    errno = savedErrno;
    return static_cast<size_t>(stop - s);
}

}  // namespace

int32_t parseInt(std::string_view text, bool* outOfRange) {
    const char* p = text.data();
    const char* end = p + text.size();
    while (p != end && isCSpace(*p)) ++p;
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    // Accumulate the magnitude, stopping to grow once it is past any 32-bit
    // value so that it cannot overflow.
    uint64_t magnitude = 0;
    for (; p != end && isDigit(*p); ++p) {
        if (magnitude <= (uint64_t{1} << 32))
            magnitude = magnitude * 10 + static_cast<unsigned>(*p - '0');
    }
    const uint64_t limit = negative ? uint64_t{1} << 31 : (uint64_t{1} << 31) - 1;
    const bool over = magnitude > limit;
    if (outOfRange) *outOfRange = over;
    if (over) return negative ? INT32_MIN : INT32_MAX;
    return negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude))
                    : static_cast<int32_t>(magnitude);
}

size_t scanReal(std::string_view text, double& value) {
    // Fast path for plain decimal text: an optional minus sign and a digit or
    // point. from_chars agrees with strtod there except on "0x" prefixes and
    // out-of-range results, which go to strtod itself, as does everything
    // else (white space, '+', inf, nan, hexadecimal).
    const char* p = text.data();
    const char* end = p + text.size();
    const char* q = p + (p != end && *p == '-');
    if (q != end && (isDigit(*q) || *q == '.') &&
        !(*q == '0' && end - q > 1 && (q[1] | 0x20) == 'x')) {
        auto [stop, ec] = std::from_chars(p, end, value);
        if (ec == std::errc()) return static_cast<size_t>(stop - p);
    }
    size_t used = scanRealSlow(text, value);
    if (used == 0) value = 0.0;
    return used;
}

LineReader::LineReader(int fd, size_t pieceLimit, size_t capacity) : fd_(fd), limit_(pieceLimit) {
    // A bounded reader's buffer holds one piece, at least two characters so
    // that a piece is never empty when a carriage return is held back.
    cap_ = pieceLimit ? (pieceLimit < 2 ? 2 : pieceLimit) : capacity < 16 ? 16 : capacity;
    buf_ = static_cast<char*>(std::calloc(cap_ + readPadding, 1));
    if (!buf_) error_ = ENOMEM;
}

LineReader::~LineReader() {
    std::free(buf_);
}

// Bit i set when p[i] is a newline, for the 64 bytes at p.
inline uint64_t newlineMask(const char* p) {
#ifdef __SSE2__
    const __m128i newline = _mm_set1_epi8('\n');
    uint64_t mask = 0;
    for (int i = 0; i < 4; ++i) {
        const __m128i hits = _mm_cmpeq_epi8(load16(p + 16 * i), newline);
        mask |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hits))) << (16 * i);
    }
    return mask;
#else
    uint64_t mask = 0;
    for (int i = 0; i < 64; ++i) mask |= static_cast<uint64_t>(p[i] == '\n') << i;
    return mask;
#endif
}

// The first newline in [scan_, end_), or null, advancing scan_ past the text
// searched. Works 64 bytes at a time and keeps the mask of the last whole
// block, so that short lines cost one bit operation each. Blocks may extend
// past end_ into the buffer's padding; those bits are ignored.
char* LineReader::findNewline() {
    while (scan_ < end_) {
        if (scan_ - maskBase_ < 64) {
            const uint64_t rest = mask_ >> (scan_ - maskBase_);
            if (rest) return buf_ + scan_ + __builtin_ctzll(rest);
            scan_ = maskBase_ + 64;
            continue;
        }
        uint64_t mask = newlineMask(buf_ + scan_);
        if (end_ - scan_ >= 64) {
            maskBase_ = scan_;
            mask_ = mask;
        } else {
            mask &= (uint64_t{1} << (end_ - scan_)) - 1;
        }
        if (mask) return buf_ + scan_ + __builtin_ctzll(mask);
        scan_ = end_ - scan_ >= 64 ? scan_ + 64 : end_;
    }
    return nullptr;
}

// Makes room and reads more input. Returns false at end of input or on error.
bool LineReader::fill() {
    if (begin_ > 0) {
        std::memmove(buf_, buf_ + begin_, end_ - begin_);
        end_ -= begin_;
        scan_ -= begin_;
        begin_ = 0;
        maskBase_ = maskNone;
    }
    if (end_ == cap_) {
        // Only an unbounded reader gets here: the line does not fit.
        size_t bigger = cap_ * 2;
        char* grown = static_cast<char*>(std::realloc(buf_, bigger + readPadding));
        if (!grown) {
            error_ = ENOMEM;
            return false;
        }
        std::memset(grown + cap_ + readPadding, 0, bigger - cap_);  // keep the padding defined
        buf_ = grown;
        cap_ = bigger;
    }
    for (;;) {
        ssize_t got = ::read(fd_, buf_ + end_, cap_ - end_);
        if (got > 0) {
            end_ += static_cast<size_t>(got);
            return true;
        }
        if (got == 0) {
            eof_ = true;
            return false;
        }
        if (errno != EINTR) {
            error_ = errno;
            return false;
        }
    }
}

bool LineReader::next(std::string_view& text, bool& complete) {
    if (!buf_ || error_) return false;
    for (;;) {
        char* newline = findNewline();
        size_t stop;
        if (newline) {
            stop = static_cast<size_t>(newline - buf_);
            complete = true;
        } else if (eof_) {
            // A line whose last piece was handed out still needs its end.
            if (begin_ == end_ && atLineStart_) return false;
            stop = end_;
            complete = true;
        } else if (limit_ && begin_ == 0 && end_ == cap_) {
            // A bounded reader whose buffer is full of one line hands out a
            // piece, holding back a final carriage return that may belong to
            // a "\r\n" terminator.
            stop = end_ - (buf_[end_ - 1] == '\r');
            complete = false;
        } else {
            scan_ = end_;
            if (!fill()) {
                if (error_) return false;
            }
            continue;
        }
        size_t length = stop - begin_;
        if (complete && length > 0 && buf_[stop - 1] == '\r') --length;
        text = std::string_view(buf_ + begin_, length);
        begin_ = complete && stop < end_ ? stop + 1 : stop;
        scan_ = begin_;
        if (atLineStart_) ++lineNumber_;
        atLineStart_ = complete;
        return true;
    }
}
