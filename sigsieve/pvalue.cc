#include "pvalue.h"

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
