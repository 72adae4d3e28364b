#include "lines.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "simd/kernels.h"

namespace {

// Masks for a buffer of `cap` bytes plus its padding, and one spare word
// for delimiterBits.
size_t maskWords(size_t cap) {
    return (cap + LineReader::readPadding) / 64 + 2;
}

uint64_t* growMasks(uint64_t* masks, size_t oldWords, size_t words) {
    auto* grown = static_cast<uint64_t*>(std::realloc(masks, words * sizeof(uint64_t)));
    if (grown) std::memset(grown + oldWords, 0, (words - oldWords) * sizeof(uint64_t));
    return grown;
}

}  // namespace

LineReader::LineReader(ByteSource& source, size_t pieceLimit, size_t capacity, bool fields)
    : source_(&source), limit_(pieceLimit), fields_(fields) {
    // A bounded reader's buffer holds one piece, at least two characters so
    // that a piece is never empty when a carriage return is held back.
    cap_ = pieceLimit ? (pieceLimit < 2 ? 2 : pieceLimit) : capacity < 16 ? 16 : capacity;
    buf_ = static_cast<char*>(std::calloc(cap_ + readPadding, 1));
    newlines_ = static_cast<uint64_t*>(std::calloc(maskWords(cap_), sizeof(uint64_t)));
    if (fields_)
        delimiters_ = static_cast<uint64_t*>(std::calloc(maskWords(cap_), sizeof(uint64_t)));
    if (!buf_ || !newlines_ || (fields_ && !delimiters_)) error_ = ENOMEM;
}

LineReader::~LineReader() {
    std::free(buf_);
    std::free(newlines_);
    std::free(delimiters_);
}

// Indexes the blocks that hold bytes [from, to). The last block may reach
// into the padding; its bits past `to` are never used.
void LineReader::reindex(size_t from, size_t to) {
    const size_t first = from / 64, last = (to + 63) / 64;
    if (last > first)
        simd::kernels().index(buf_ + 64 * first, last - first, newlines_ + first,
                              fields_ ? delimiters_ + first : nullptr);
}

// The first newline in [scan_, end_), or null, advancing scan_ past the text
// searched.
char* LineReader::findNewline() {
    while (scan_ < end_) {
        const uint64_t bits = newlines_[scan_ >> 6] >> (scan_ & 63);
        if (bits) {
            const size_t at = scan_ + static_cast<size_t>(__builtin_ctzll(bits));
            if (at < end_) return buf_ + at;
            scan_ = end_;
            return nullptr;
        }
        scan_ = (scan_ | 63) + 1;
    }
    scan_ = end_;
    return nullptr;
}

// Makes room and reads more input. Returns false at end of input or on error.
bool LineReader::fill() {
    if (begin_ > 0) {
        std::memmove(buf_, buf_ + begin_, end_ - begin_);
        end_ -= begin_;
        scan_ -= begin_;
        begin_ = 0;
        reindex(0, end_);
    }
    if (end_ == cap_) {
        // Only an unbounded reader gets here: the line does not fit.
        if (cap_ >= defaultMaxLine) {
            tooLong_ = true;
            error_ = EFBIG;
            return false;
        }
        const size_t bigger = std::min(cap_ * 2, defaultMaxLine);
        char* grown = static_cast<char*>(std::realloc(buf_, bigger + readPadding));
        if (grown) {
            buf_ = grown;
            std::memset(buf_ + cap_ + readPadding, 0, bigger - cap_);  // keep the padding defined
            uint64_t* nl = growMasks(newlines_, maskWords(cap_), maskWords(bigger));
            if (nl) newlines_ = nl;
            uint64_t* dl =
                fields_ ? growMasks(delimiters_, maskWords(cap_), maskWords(bigger)) : nullptr;
            if (dl) delimiters_ = dl;
            if (nl && (dl || !fields_)) cap_ = bigger;
        }
        if (cap_ != bigger) {
            error_ = ENOMEM;
            return false;
        }
    }
    const ssize_t got = source_->read(buf_ + end_, cap_ - end_);
    if (got > 0) {
        taken_ += static_cast<uint64_t>(got);
        reindex(end_, end_ + static_cast<size_t>(got));
        end_ += static_cast<size_t>(got);
        return true;
    }
    if (got == 0)
        eof_ = true;
    else
        error_ = source_->errorNumber();
    return false;
}

bool LineReader::nextSlow(std::string_view& text, bool& complete) {
    if (error_) return false;
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
            if (!fill() && error_) return false;
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

bool nextField(FieldCursor& cursor, std::string_view& field) {
    const char* p = cursor.pos;
    for (;;) {
        if (p >= cursor.end) {
            cursor.pos = cursor.end;
            return false;
        }
        const uint64_t text = ~cursor.reader->delimiterBits(p);
        if (text) {
            p += __builtin_ctzll(text);
            break;
        }
        p += 64;
    }
    if (p >= cursor.end) {
        cursor.pos = cursor.end;
        return false;
    }
    const char* stop = p;
    for (;;) {
        const uint64_t delimiters = cursor.reader->delimiterBits(stop);
        if (delimiters) {
            stop += __builtin_ctzll(delimiters);
            break;
        }
        stop += 64;
        if (stop >= cursor.end) break;
    }
    if (stop > cursor.end) stop = cursor.end;
    field = std::string_view(p, static_cast<size_t>(stop - p));
    cursor.pos = stop;
    return true;
}

// splitFields for a line of 64 bytes or more: the fields that end within
// the first 64 bytes come from one mask, the rest from nextField.
int splitLongFields(FieldCursor& cursor, int want, std::string_view* fields) {
    const char* base = cursor.pos;
    const uint64_t delimiters = cursor.reader->delimiterBits(base);
    uint64_t starts = ~delimiters & ((delimiters << 1) | 1);
    int found = 0;
    while (found < want && starts) {
        const int start = __builtin_ctzll(starts);
        const uint64_t rest = delimiters >> start;
        if (!rest) break;  // the field goes on past the mask
        const int stop = start + __builtin_ctzll(rest);
        fields[found++] = std::string_view(base + start, static_cast<size_t>(stop - start));
        cursor.pos = base + stop;
        starts &= starts - 1;
    }
    while (found < want && nextField(cursor, fields[found])) ++found;
    return found;
}
