// Numbers read from text, each kind written once: the atoi-like count, the
// whole-number argument, the 64-bit whole number, the strtod-exact real, and
// the SWAR digit helpers the fast paths share. Every reader gives exactly the
// answer of the C library in the "C" locale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// White space as isspace() sees it in the "C" locale.
inline bool isCSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

inline bool isDigit(char c) {
    return static_cast<unsigned char>(c - '0') < 10;
}

// Eight characters as one little-endian word: the first character is the
// low byte.
inline uint64_t load8(const char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// A nonzero byte in the result for each byte of v that is not a decimal
// digit. A byte is a digit when its high nibble is 3 and adding 6 keeps it
// so; a carry out of a non-digit byte only disturbs later bytes, so the
// lowest nonzero byte is always exact.
inline uint64_t nonDigitBytes(uint64_t v) {
    const uint64_t high = 0xF0F0F0F0F0F0F0F0u, three = 0x3030303030303030u;
    return ((v & high) ^ three) | (((v + 0x0606060606060606u) & high) ^ three);
}

// The decimal digits and the '0' characters among the 32 characters at p:
// bit i of `digits` is set when p[i] is a digit, of `zeros` when it is '0'.
struct DigitBits {
    uint32_t digits, zeros;
};
#if defined(__SSE2__)
inline DigitBits digitBits32(const char* p) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const __m128i zero = _mm_set1_epi8('0'), nine = _mm_set1_epi8(9);
    // A digit is a byte whose distance above '0' is at most 9, unsigned.
    const auto digits = [&](__m128i x) {
        const __m128i d = _mm_sub_epi8(x, zero);
        return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(d, nine), d)));
    };
    const auto zeros = [&](__m128i x) {
        return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, zero)));
    };
    return {digits(low) | digits(high) << 16, zeros(low) | zeros(high) << 16};
}
#else
inline DigitBits digitBits32(const char* p) {
    DigitBits bits{0, 0};
    for (int i = 0; i < 32; ++i) {
        bits.digits |= uint32_t{isDigit(p[i])} << i;
        bits.zeros |= uint32_t{p[i] == '0'} << i;
    }
    return bits;
}
#endif

// The first character at or after p that is not a decimal digit, or end.
// Looks at eight characters at a time while eight remain.
inline const char* skipDigits(const char* p, const char* end) {
    for (; end - p >= 8; p += 8) {
        const uint64_t nonDigit = nonDigitBytes(load8(p));
        if (nonDigit) return p + (__builtin_ctzll(nonDigit) >> 3);
    }
    while (p != end && isDigit(*p)) ++p;
    return p;
}

// skipDigits for text followed by at least 8 readable bytes (a line that
// LineReader returned, or a field of one): eight characters at a time to
// the end, with no loop over single characters.
inline const char* skipDigitsPadded(const char* p, const char* end) {
    for (; p < end; p += 8) {
        const uint64_t nonDigit = nonDigitBytes(load8(p));
        if (nonDigit) {
            const char* stop = p + (__builtin_ctzll(nonDigit) >> 3);
            return stop < end ? stop : end;
        }
    }
    return end;
}

// Like atoi in the "C" locale: optional white space, an optional sign, then
// decimal digits up to the first other character; no digits reads 0. A value
// outside the 32-bit range saturates to INT32_MIN or INT32_MAX and sets
// *outOfRange (when given) to true; otherwise *outOfRange is set to false.
int32_t parseInt(const char* text, size_t length, bool* outOfRange = nullptr);
inline int32_t parseInt(std::string_view text, bool* outOfRange = nullptr) {
    return parseInt(text.data(), text.size(), outOfRange);
}

// The leading whole number of a text: optional white space, an optional
// sign, decimal digits.
struct WholeNumber {
    size_t used = 0;         // characters up to the last digit; 0 when there is no digit
    bool negative = false;   // a '-' sign
    bool overflow = false;   // the magnitude does not fit in 64 bits
    uint64_t magnitude = 0;  // the digits' value (meaningless with overflow)
};
WholeNumber scanWhole(std::string_view text);

// A whole-number argument: the whole text is an optional '+' and decimal
// digits, with a value of at most max.
enum class ArgumentStatus { Ok, Invalid, TooLarge };
ArgumentStatus parseWholeArgument(const char* text, uint64_t max, uint64_t& value);

// The value m times 10^e, when m <= 2^53 and |e| <= 22: then both are
// exact doubles, and one multiplication or division rounds as strtod
// rounds the decimal text. False otherwise.
inline constexpr double exactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                              1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                              1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
inline bool exactDecimal(uint64_t m, int e, double& value) {
    if (m > uint64_t{1} << 53 || e < -22 || e > 22) return false;
    const double v = static_cast<double>(m);
    value = e < 0 ? v / exactPowersOfTen[-e] : v * exactPowersOfTen[e];
    return true;
}

// Reads the longest leading floating-point number of `text` exactly as
// strtod does in the "C" locale (decimal and hexadecimal forms, inf,
// infinity, nan, nan(chars), overflow to +-inf, underflow to 0 or a
// subnormal). Returns how many characters were consumed; 0 means the text
// does not start with a number, and then `value` is 0.0.
size_t scanReal(std::string_view text, double& value);

// A real-number argument: the whole text is a number as strtod reads it.
bool parseRealArgument(const char* text, double& value);

// Writes the decimal digits of v (at most 20) at `out`; returns their count.
size_t formatDecimal(char* out, uint64_t v);

// Writes v in the shortest form that reads back as the same double ("0.05",
// "1e-300", "inf", "nan") at `out`, which has room for shortestLength
// bytes; returns the count.
inline constexpr size_t shortestLength = 32;
size_t formatShortest(char* out, double v);
