// One row of the count table: a k-mer, two columns not used, a real value,
// then one count per case sample and one per control sample. Counts read as
// parseInt reads them (3.7 is 3, abc is 0) and must fit in 32 bits.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "record_input.h"

struct RowSums {
    double value = 0;
    int64_t caseSum = 0;
    int64_t controlSum = 0;
    int32_t casesPresent = 0;
    int32_t controlsPresent = 0;
};

enum class RowStatus { Ok, Blank, TooFewFields, CountOutOfRange };

struct RowResult {
    RowStatus status;
    int64_t fieldsFound = 0;      // with TooFewFields
    std::string_view badCount{};  // with CountOutOfRange
};

// The count in the field starting at p, read by parseInt.
[[gnu::noinline]] inline int32_t slowCount(const char* p, const char* end, std::string_view* bad) {
    const std::string_view field(p, static_cast<size_t>(findDelimiter(p, end, true) - p));
    bool outOfRange;
    const int32_t count = parseInt(field, &outOfRange);
    if (outOfRange) *bad = field;
    return count;
}

// The count in the field starting at p, which ends at a delimiter or at end.
// Most counts are short runs of digits: those are read from eight bytes at
// once without branching on their length. Anything else (signs, white space,
// eight or more digits, trailing text such as ".7") goes through parseInt.
// Needs eight readable bytes past end. Sets *bad to the field when the count
// is out of the 32-bit range.
inline int32_t countAt(const char* p, const char* end, std::string_view* bad) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    const uint64_t high = 0xF0F0F0F0F0F0F0F0u, three = 0x3030303030303030u;
    const uint64_t nonDigit = ((v & high) ^ three) | (((v + 0x0606060606060606u) & high) ^ three);
    size_t digits = nonDigit ? static_cast<size_t>(__builtin_ctzll(nonDigit) >> 3) : 8;
    if (digits > static_cast<size_t>(end - p)) digits = static_cast<size_t>(end - p);
    if (digits > 0 && digits < 8 && (p + digits == end || isDelimiter(p[digits]))) {
        // Shift the digits to the top so that the bytes below read as
        // leading zeros, then combine pairs, quads and octets.
        if (digits <= 4) {
            uint32_t x = static_cast<uint32_t>(v - three) << (8 * (4 - digits));
            x = (x & 0x0F0F0F0Fu) * 2561 >> 8;
            x = (x & 0x00FF00FFu) * 6553601 >> 16;
            return static_cast<int32_t>(x);
        }
        uint64_t x = (v - three) << (8 * (8 - digits));
        x = (x & 0x0F0F0F0F0F0F0F0Fu) * 2561 >> 8;
        x = (x & 0x00FF00FF00FF00FFu) * 6553601 >> 16;
        x = (x & 0x0000FFFF0000FFFFu) * 42949672960001u >> 32;
        return static_cast<int32_t>(x);
    }
    return slowCount(p, end, bad);
}

// For the 64 bytes at block, of which the first len belong to the row: bit i
// of *delimiters set when block[i] is a delimiter or i >= len, and the result
// true when every byte of the row there is a digit or a delimiter.
inline bool scanBlock(const char* block, size_t len, uint64_t* delimiters) {
    uint64_t delim = 0, odd = 0;
#ifdef __SSE2__
    const __m128i slash = _mm_set1_epi8('/'), colon = _mm_set1_epi8(':');
    for (int i = 0; i < 4; ++i) {
        const __m128i b = load16(block + 16 * i);
        const __m128i d = delimiterBytes(b);
        const __m128i ok =
            _mm_or_si128(d, _mm_and_si128(_mm_cmpgt_epi8(b, slash), _mm_cmplt_epi8(b, colon)));
        delim |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(d))) << (16 * i);
        odd |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(ok)) ^ 0xFFFFu)
               << (16 * i);
    }
#else
    for (int i = 0; i < 64; ++i) {
        delim |= static_cast<uint64_t>(isDelimiter(block[i])) << i;
        odd |= static_cast<uint64_t>(!isDelimiter(block[i]) &&
                                     static_cast<unsigned char>(block[i] - '0') > 9)
               << i;
    }
#endif
    const uint64_t past = len < 64 ? ~uint64_t{0} << len : 0;
    *delimiters = delim | past;
    return (odd & ~past) == 0;
}

// Walks the count fields of a row in order, 64 bytes at a time: the field
// starts come from a delimiter mask, so that finding the next field does not
// wait for the previous one to be read.
class CountFields {
  public:
    CountFields(const char* pos, const char* end) : next_(pos), end_(end) {}

    // Adds the next n counts to sum and present. Returns false when the row
    // ends first (then read() tells how many fields were read in all) or a
    // count is out of range (then bad() is that field).
    bool add(int64_t n, int64_t& sumOut, int32_t& presentOut) {
        // The walk runs on local copies of the state, which the compiler can
        // keep in registers.
        const char* block = block_;
        uint64_t delimiters = delimiters_, starts = starts_;
        bool plain = plain_;
        int64_t sum = 0;
        int32_t present = 0;
        int64_t k = 0;
        bool ok = true;
        for (; k < n; ++k) {
            while (!starts) {
                if (next_ >= end_) {
                    ok = false;
                    break;
                }
                // The next block starts at the first field that the last one
                // did not hold whole, so that every field in a block ends
                // there (but for fields longer than a block).
                block = next_;
                const size_t len = static_cast<size_t>(end_ - block < 64 ? end_ - block : 64);
                plain = scanBlock(block, len, &delimiters);
                starts = ~delimiters & ((delimiters << 1) | carry_);
                if (delimiters) {
                    const int last = 63 - __builtin_clzll(delimiters);
                    if (last < 63) starts &= (uint64_t{1} << last) - 1;
                    next_ = block + last + 1;
                    carry_ = 1;
                } else {
                    next_ = block + 64;
                    carry_ = 0;
                }
            }
            if (!ok) break;
            const int i = __builtin_ctzll(starts);
            starts &= starts - 1;
            const uint64_t rest = delimiters >> i;
            int32_t count;
            if (plain && (rest & 0x1F) != 0) {
                // A run of one to four digits.
                const int digits = __builtin_ctzll(rest);
                uint32_t x;
                std::memcpy(&x, block + i, 4);
                x = (x - 0x30303030u) << (8 * (4 - digits));
                x = (x & 0x0F0F0F0Fu) * 2561 >> 8;
                x = (x & 0x00FF00FFu) * 6553601 >> 16;
                count = static_cast<int32_t>(x & 0xFFFF);
            } else {
                count = countAt(block + i, end_, &bad_);
                if (!bad_.empty()) {
                    ok = false;
                    break;
                }
            }
            sum += count;
            present += count > 0;
        }
        block_ = block;
        delimiters_ = delimiters;
        starts_ = starts;
        plain_ = plain;
        read_ += k;
        sumOut = sum;
        presentOut = present;
        return ok;
    }
    int64_t read() const { return read_; }
    std::string_view bad() const { return bad_; }

  private:
    const char* next_;
    const char* end_;
    const char* block_ = nullptr;
    uint64_t delimiters_ = 0, starts_ = 0;
    uint64_t carry_ = 1;  // whether the byte before the block is a delimiter
    bool plain_ = false;  // whether the block holds only digits and delimiters
    int64_t read_ = 0;
    std::string_view bad_;
};

// Reads one row, which must be followed by at least 64 readable bytes (as
// LineReader guarantees). Fields beyond the counts are ignored.
[[gnu::noinline]] inline RowResult readRow(std::string_view line, int32_t noCases,
                                           int32_t noControls, RowSums& sums) {
    sums = RowSums{};
    FieldCursor fields(line, true);
    std::string_view field;
    int64_t found = 0;
    while (found < 4 && nextField(fields, field)) ++found;
    if (found == 0) return {RowStatus::Blank};
    if (found < 4) return {RowStatus::TooFewFields, found};
    sums.value = parseReal(field);
    CountFields counts(fields.pos, fields.end);
    if (!counts.add(noCases, sums.caseSum, sums.casesPresent) ||
        !counts.add(noControls, sums.controlSum, sums.controlsPresent)) {
        if (!counts.bad().empty()) return {RowStatus::CountOutOfRange, 0, counts.bad()};
        return {RowStatus::TooFewFields, 4 + counts.read()};
    }
    return {RowStatus::Ok};
}
