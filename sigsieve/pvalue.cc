#include "pvalue.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

double powerOfTen(int64_t d) {
    char text[32];
    std::snprintf(text, sizeof text, "1e%lld", static_cast<long long>(d));
    return std::strtod(text, nullptr);
}

Threshold makeThreshold(double value) {
    Threshold t{value, -noDecade, noDecade};
    if (!(t.value > 0)) {
        t.failMin = -noDecade;  // every value of any decade is at least 0
        return t;
    }
    if (std::isinf(t.value)) {
        t.passMax = 307;  // below 10^308, so finite; larger ones may round to inf
        return t;
    }
    const int64_t estimate = static_cast<int64_t>(std::floor(std::log10(t.value)));
    int64_t d = estimate + 2;
    while (!(powerOfTen(d + 1) < t.value)) --d;
    t.passMax = d;
    d = estimate - 2;
    while (!(powerOfTen(d) >= t.value)) ++d;
    t.failMin = d;
    return t;
}

int quickLambdaBin(std::string_view text, const Magnitude& m) {
    if (m.kind == Magnitude::Other) return -1;
    if (m.kind == Magnitude::Zero || m.decade <= -3) return 0;  // below 0.01
    if (m.decade >= 0) return 19;                               // 1 or more
    // The significant digits in order, the point and leading zeros
    // skipped; the value's first two decimals are v, the digits after them
    // the rest, read only as far as needed.
    const char* p = text.data();
    const char* end = p + text.size();
    const auto nextDigit = [&]() -> int {
        for (; p != end; ++p) {
            if (*p == '.') continue;
            if (!isDigit(*p)) return -1;  // the exponent, or the end: 0s from here
            return *p++ - '0';
        }
        return -1;
    };
    int first;
    while ((first = nextDigit()) == 0) {
    }
    const int v = m.decade == -1 ? first * 10 + std::max(nextDigit(), 0) : first;
    // v at a multiple of 0.05 (v % 5 == 0), the value is at or above it,
    // by 1e-15 at least unless the 13 digits after v are all 0; just below
    // one (v % 5 == 4), below it by as much unless they are all 9. Such a
    // margin is far above the rounding of the value and of the lambdas,
    // whose doubles lie within 2e-16 of the multiples.
    const int edge = v % 5 == 0 ? 0 : v % 5 == 4 && v != 99 ? 9 : -1;
    if (edge < 0) return v / 5;
    for (int i = 0; i < 13; ++i)
        if (std::max(nextDigit(), 0) != edge) return v / 5;
    return -1;
}
