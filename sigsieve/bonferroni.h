// The Bonferroni test of one p-value: a k-mer passes when alpha divided by
// the number of k-mers tested is strictly greater than its p-value, the
// p-value being read from its text exactly as strtod reads it.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "record_input.h"

inline constexpr double alpha = 0.05;

struct Threshold {
    double value;  // alpha / totalKmers
    int decade;    // floor(log10(value)), possibly off by one
};

inline Threshold makeThreshold(int64_t totalKmers) {
    const double value = alpha / static_cast<double>(totalKmers);
    return {value, static_cast<int>(std::floor(std::log10(value)))};
}

enum class Verdict { Pass, Fail, NotANumber, Undecided };

// Decides from the text's decimal magnitude alone when it is plain decimal
// text (digits, an optional point, an optional exponent) whose value lies at
// least two decades away from the threshold. Rounding to a double cannot
// bridge that gap, so the answer is the one the exact comparison gives.
// Anything else (signs, white space, hexadecimal, inf, nan, values near the
// threshold, exponents too long to add up) is Undecided.
inline Verdict quickVerdict(std::string_view text, const Threshold& threshold) {
    const char* p = text.data();
    const char* end = p + text.size();
    if (end - p > 1 && p[0] == '0' && (p[1] | 0x20) == 'x') return Verdict::Undecided;
    bool anyDigit = false;
    bool nonZero = false;
    int64_t decade = 0;  // the value lies in [10^decade, 10^(decade+1))
    while (p != end && *p == '0') ++p, anyDigit = true;
    const char* significant = p;
    p = skipDigits(p, end);
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
        p = skipDigits(p, end);
        anyDigit = anyDigit || p != fraction;
    }
    if (!anyDigit) return Verdict::Undecided;
    if (!nonZero) return Verdict::Pass;  // zero is below every positive threshold
    if (p != end && (*p | 0x20) == 'e') {
        const char* e = p + 1;
        bool negative = false;
        if (e != end && (*e == '+' || *e == '-')) negative = *e++ == '-';
        if (e != end && isDigit(*e)) {
            int64_t exponent = 0;
            for (; e != end && isDigit(*e); ++e) {
                exponent = exponent * 10 + (*e - '0');
                if (exponent > 100000000) return Verdict::Undecided;
            }
            decade += negative ? -exponent : exponent;
        }
    }
    // threshold.decade may be one off the true decade of the threshold, so
    // a margin of three decades leaves two clear.
    if (decade <= threshold.decade - 3) return Verdict::Pass;
    if (decade >= threshold.decade + 3) return Verdict::Fail;
    return Verdict::Undecided;
}

// The full test of the p-value field `text`.
inline Verdict verdict(std::string_view text, const Threshold& threshold) {
    const Verdict quick = quickVerdict(text, threshold);
    if (quick != Verdict::Undecided) return quick;
    double p;
    if (scanReal(text, p) == 0) return Verdict::NotANumber;
    return threshold.value > p ? Verdict::Pass : Verdict::Fail;
}
