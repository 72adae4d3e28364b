// A p-value: its record, and the exact test of its text against a
// threshold. A k-mer passes when the threshold (alpha divided by the number
// of k-mers tested, for Bonferroni) is strictly greater than its p-value,
// the p-value being read from its text exactly as strtod reads it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <type_traits>

#include "lines.h"
#include "numbers.h"
#include "records.h"

inline constexpr double defaultAlpha = 0.05;

// The threshold alpha / totalKmers, and the decades of p-values that are
// certainly on one side of it whatever their digits: a value of decade d
// (in [10^d, 10^(d+1))) rounds to at most the double nearest 10^(d+1) and
// to at least the double nearest 10^d, so it passes when d <= passMax and
// fails when d >= failMin. Only the decades in between need the exact
// comparison.
struct Threshold {
    double value;
    int64_t passMax;
    int64_t failMin;
};

// Beyond every exponent the quick test reads.
inline constexpr int64_t noDecade = int64_t{1} << 40;

// The double nearest 10^d, as strtod reads "1e<d>".
double powerOfTen(int64_t d);

// The threshold `value`: a p-value passes when value > p.
Threshold makeThreshold(double value);

inline Threshold makeThreshold(int64_t totalKmers, double alpha = defaultAlpha) {
    return makeThreshold(alpha / static_cast<double>(totalKmers));
}

enum class Verdict { Pass, Fail, NotANumber, Undecided };

// The magnitude of plain decimal text (digits, an optional point, an
// optional exponent): zero, or the decade d of its value, which lies in
// [10^d, 10^(d+1)) before rounding. Anything else (signs, white space,
// hexadecimal, inf, nan, exponents too long to add up) is Other.
struct Magnitude {
    enum Kind { Other, Zero, Decade } kind;
    int64_t decade;
};

// Adds the exponent that may follow the digits of a decimal text at p
// ("e", an optional sign, digits, read as far as they go) to `decade`;
// false when it is too long to add up.
inline bool addExponent(const char* p, const char* end, int64_t& decade) {
    if (p == end || (*p | 0x20) != 'e') return true;
    const char* e = p + 1;
    bool negative = false;
    if (e != end && (*e == '+' || *e == '-')) negative = *e++ == '-';
    int64_t exponent = 0;
    for (; e != end && isDigit(*e); ++e) {
        exponent = exponent * 10 + (*e - '0');
        if (exponent > 100000000) return false;
    }
    decade += negative ? -exponent : exponent;
    return true;
}

// decimalMagnitude of text shorter than 31 characters and followed by at
// least 32 readable bytes, from the masks of its digits and zeros: no loop
// over its characters, and choices made by selection rather than by
// branches where the shapes of p-values vary from line to line.
inline Magnitude shortDecimalMagnitude(const char* p, size_t size) {
    const int n = static_cast<int>(size);
    const uint32_t inText = (uint32_t{1} << n) - 1;
    const DigitBits bits = digitBits32(p);
    const uint32_t digits = bits.digits & inText, zeros = bits.zeros & inText;
    {
        // The two shapes nearly every p-value comes in, told apart without
        // the walk below: "0." and digits ("0.00123"), and a digit other
        // than 0, a point, digits and an exponent of two digits
        // ("7.87575e-08"). Their tests and both decades are made side by
        // side, from the masks and from loads at places the length alone
        // gives, and one of the decades is chosen without a branch.
        const unsigned char c0 = static_cast<unsigned char>(p[0]),
                            c1 = static_cast<unsigned char>(p[1]);
        const char* tail = p + (n >= 4 ? n - 4 : 0);
        const unsigned char mark = static_cast<unsigned char>(tail[0]),
                            sign = static_cast<unsigned char>(tail[1]);
        const uint32_t fraction = inText & ~3u;  // all but the first two
        const bool zeroPoint = n >= 3 && c0 == '0' && c1 == '.' && (digits & fraction) == fraction;
        const uint32_t beforeMark = fraction & ((uint32_t{1} << (n >= 4 ? n - 4 : 0)) - 1),
                       exponentDigits = n >= 2 ? uint32_t{3} << (n - 2) : 0,
                       scientific = beforeMark | exponentDigits;
        const bool withExponent = n >= 6 && c1 == '.' && c0 >= '1' && c0 <= '9' &&
                                  (digits & scientific) == scientific && (mark | 0x20) == 'e' &&
                                  (sign == '-' || sign == '+');
        if (zeroPoint | withExponent) {
            const uint32_t significant = digits & ~zeros & fraction;
            if (zeroPoint && !significant) return {Magnitude::Zero, 0};
            const int value = (tail[2] - '0') * 10 + (tail[3] - '0');
            const int64_t exponent = sign == '-' ? -value : value;
            const int64_t leading = 1 - __builtin_ctz(significant | 0x80000000u);
            return {Magnitude::Decade, zeroPoint ? leading : exponent};
        }
    }
    // The whole part's digits, then a point and the fraction's.
    const int wholeEnd = __builtin_ctz(~digits);
    const bool point = wholeEnd < n && p[wholeEnd] == '.';
    const int fraction = wholeEnd + 1;  // at most n, below 32
    const int fractionEnd = point ? fraction + __builtin_ctz(~digits >> fraction) : wholeEnd;
    const bool anyDigit = wholeEnd > 0 || fractionEnd > fraction;
    // The first digit other than 0 sets the decade, in either part: no
    // choice between the two, as whether the whole part is 0 varies from
    // line to line.
    const uint32_t significant = digits & ~zeros & ((uint32_t{1} << fractionEnd) - 1);
    const int first = __builtin_ctz(significant | 0x80000000u);
    const bool nonZero = significant != 0;
    int64_t decade = wholeEnd - first - (first < wholeEnd);
    if (!anyDigit) return {Magnitude::Other, 0};
    // Hexadecimal text ("0x...") reads as a zero followed by other
    // characters: told apart only here, off the common path, as a test of
    // its first character on every line would be a branch that the shapes
    // of p-values make hard to predict.
    if (!nonZero)
        return {n > 1 && (p[1] | 0x20) == 'x' && p[0] == '0' ? Magnitude::Other : Magnitude::Zero,
                0};
    // An exponent of up to three digits; a longer one is read digit by
    // digit.
    const int at = fractionEnd;
    const bool mark = at < n && (p[at] | 0x20) == 'e';
    const bool sign = p[at + 1] == '-' || p[at + 1] == '+', negative = p[at + 1] == '-';
    const int from = at + 1 + sign;  // at most n + 1, below 32
    const int count = from >= n ? 0 : __builtin_ctz(~digits >> from);
    if (mark && count > 3) {
        if (!addExponent(p + at, p + n, decade)) return {Magnitude::Other, 0};
        return {Magnitude::Decade, decade};
    }
    const int d0 = p[from] - '0', d1 = p[from + 1] - '0', d2 = p[from + 2] - '0';
    const int value = count == 3   ? d0 * 100 + d1 * 10 + d2
                      : count == 2 ? d0 * 10 + d1
                      : count == 1 ? d0
                                   : 0;
    return {Magnitude::Decade, decade + (mark ? (negative ? -value : value) : 0)};
}

// The value of eight digits (each 0-9, the first in the low byte).
inline uint64_t eightDigits(uint64_t v) {
    v = v * 10 + (v >> 8);
    return (((v & 0x000000FF000000FFu) * (100 + (uint64_t{1000000} << 32))) +
            (((v >> 16) & 0x000000FF000000FFu) * (1 + (uint64_t{10000} << 32)))) >>
           32;
}

// The value of a p-value text in one of the two shapes of
// shortDecimalMagnitude's quick test ("0.00123", "7.87575e-08", at most 16
// digits after the point), exactly as strtod reads it, when its digits and
// its power of ten are within exactDecimal's reach. False for any other
// text. The text is shorter than 31 characters and followed by at least 32
// readable bytes.
inline bool shortPValue(const char* p, size_t size, double& value) {
    const int n = static_cast<int>(size);
    const uint32_t inText = (uint32_t{1} << n) - 1;
    const uint32_t digits = digitBits32(p).digits & inText;
    // The f digits after the point, as an integer: eight at a time, fewer
    // shifted up to the top of a word (the bytes after them out of it).
    const auto fraction = [p](int f) -> uint64_t {
        constexpr uint64_t zeros = 0x3030303030303030u;
        const uint64_t first = load8(p + 2) - zeros;  // (no borrow into a digit)
        if (f <= 8) return f ? eightDigits(first << (8 * (8 - f))) : 0;
        return eightDigits(first) * static_cast<uint64_t>(exactPowersOfTen[f - 8]) +
               eightDigits((load8(p + 10) - zeros) << (8 * (16 - f)));
    };
    uint64_t m;
    int e;
    if (n >= 3 && n <= 18 && p[0] == '0' && p[1] == '.' && digits == (inText & ~2u)) {
        m = fraction(n - 2), e = 2 - n;
    } else if (n >= 6 && n <= 22 && p[0] != '0' && p[1] == '.' && (p[n - 4] | 0x20) == 'e' &&
               (p[n - 3] == '-' || p[n - 3] == '+') &&
               digits == (1u | (inText >> 4 & ~3u) | 3u << (n - 2))) {
        const int f = n - 6, x = (p[n - 2] - '0') * 10 + (p[n - 1] - '0');
        m = static_cast<uint64_t>(p[0] - '0') * static_cast<uint64_t>(exactPowersOfTen[f]) +
            fraction(f);
        e = (p[n - 3] == '-' ? -x : x) - f;
    } else {
        return false;
    }
    return exactDecimal(m, e, value);
}

// The value of a p-value's text as strtod reads it, -0 as 0; the text is
// followed by at least 32 readable bytes.
inline double paddedPValue(std::string_view text) {
    double p = 0;
    if (text.size() >= 31 || !shortPValue(text.data(), text.size(), p)) scanReal(text, p);
    return p + 0.0;
}

// With `padded`, the text is followed by at least 32 readable bytes.
inline Magnitude decimalMagnitude(std::string_view text, bool padded = false) {
    const auto skip = [padded](const char* from, const char* to) {
        return padded ? skipDigitsPadded(from, to) : skipDigits(from, to);
    };
    const char* p = text.data();
    const char* end = p + text.size();
    if (padded && text.size() < 31) return shortDecimalMagnitude(p, text.size());
    if (end - p > 1 && p[0] == '0' && (p[1] | 0x20) == 'x') return {Magnitude::Other, 0};
    bool anyDigit = false;
    bool nonZero = false;
    int64_t decade = 0;  // the value lies in [10^decade, 10^(decade+1))
    while (p != end && *p == '0') ++p, anyDigit = true;
    const char* significant = p;
    p = skip(p, end);
    if (p != significant) {
        anyDigit = nonZero = true;
        decade = p - significant - 1;
    }
    if (p != end && *p == '.') {
        const char* fraction = ++p;
        if (!nonZero) {
            while (p != end && *p == '0') ++p;
            if (p != end && isDigit(*p)) {
                nonZero = true;
                decade = -(p - fraction) - 1;
            }
        }
        p = skip(p, end);
        anyDigit = anyDigit || p != fraction;
    }
    if (!anyDigit) return {Magnitude::Other, 0};
    if (!nonZero) return {Magnitude::Zero, 0};
    if (!addExponent(p, end, decade)) return {Magnitude::Other, 0};
    return {Magnitude::Decade, decade};
}

// Decides from the decimal magnitude alone when the text is plain decimal
// text whose decade is certainly on one side of the threshold; anything
// else (values in the threshold's own decades included) is Undecided.
inline Verdict quickVerdict(std::string_view text, const Threshold& threshold,
                            bool padded = false) {
    const Magnitude m = decimalMagnitude(text, padded);
    if (m.kind == Magnitude::Other) return Verdict::Undecided;
    if (m.kind == Magnitude::Zero) return threshold.value > 0 ? Verdict::Pass : Verdict::Fail;
    if (m.decade <= threshold.passMax) return Verdict::Pass;
    if (m.decade >= threshold.failMin) return Verdict::Fail;
    return Verdict::Undecided;
}

// The bin of pi0's lambdas (see pi0.h) of the p-value `text`, whose
// magnitude is m, from its digits alone: how many of 0.05, 0.10, ...,
// 0.95 (as doubles) it is at or above, or -1 when its digits leave that to
// its value (a text within 1e-15 of a multiple of 0.05, or not plain
// decimal text).
int quickLambdaBin(std::string_view text, const Magnitude& m);

// The full test of the p-value field `text` (followed by at least 32
// readable bytes when `padded`, as every line a LineReader returns is).
inline Verdict verdict(std::string_view text, const Threshold& threshold, bool padded = false) {
    const Verdict quick = quickVerdict(text, threshold, padded);
    if (quick != Verdict::Undecided) return quick;
    double p;
    if (scanReal(text, p) == 0) return Verdict::NotANumber;
    return threshold.value > p ? Verdict::Pass : Verdict::Fail;
}

// Reads the records of an input, a k-mer, two integers and a p-value each,
// with readRecords (see there for `threads`, Result and `merge`):
// onText(into, fields) gets each record's fields, the k-mer at 0 and the
// p-value text at 3 (and the two integers' texts at 1 and 2 when
// `allFields`), and returns false when the text is not a number; one that
// takes onText(into, fields, line) also gets the record's line number as
// the merge counts it (see readRecords). A line of one to three fields, or
// such a text, fails the run.
template <class Result, bool allFields = false, class OnText, class Merge>
void readPValues(ByteSource& in, const char* name, const RecordThreads& threads, OnText&& onText,
                 Merge&& merge) {
    const auto record = [&onText](const LineReader& reader, std::string_view line, auto& into,
                                  std::string& what) {
        FieldCursor cursor(reader, line);
        std::string_view fields[4];
        const int found = allFields ? splitFields(cursor, 4, fields)
                                    : splitFirstAndFourth(cursor, fields[0], fields[3]);
        if (found == 0) return true;  // a blank line
        char text[160];
        if (found < 4) {
            std::snprintf(text, sizeof text,
                          "%d field%s, a record needs 4 (k-mer, two integers, p-value)", found,
                          found == 1 ? "" : "s");
        } else if (![&] {
                       if constexpr (std::is_invocable_v<OnText, decltype(into), std::string_view*,
                                                         uint64_t>)
                           return onText(into, fields, reader.lineNumber());
                       else
                           return onText(into, fields);
                   }()) {
            std::snprintf(text, sizeof text, "p-value '%.*s' is not a number",
                          shown(fields[3].size()), fields[3].data());
        } else {
            return true;
        }
        what = text;
        return false;
    };
    readRecords<Result>(in, name, threads, record, merge);
}
