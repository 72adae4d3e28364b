#include "numbers.h"

#include <locale.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <string>

namespace {

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

// The text, when all of it is a short decimal: at most 19 significant
// digits whose value is exactDecimal's.
bool scanShortDecimal(const char* p, const char* end, double& value) {
    const bool negative = p != end && *p == '-';
    p += negative;
    uint64_t m = 0;
    int significant = 0, e = 0;
    bool any = false, point = false;
    for (; p != end; ++p) {
        if (*p == '.' && !point) {
            point = true;
            continue;
        }
        if (!isDigit(*p)) break;
        any = true;
        e -= point;
        if (m == 0 && *p == '0') continue;  // a leading zero
        if (++significant > 19) return false;
        m = m * 10 + static_cast<unsigned>(*p - '0');
    }
    if (!any) return false;
    if (p != end && (*p | 0x20) == 'e') {
        ++p;
        const bool down = p != end && *p == '-';
        p += p != end && (*p == '-' || *p == '+');
        int x = 0, digits = 0;
        for (; p != end && isDigit(*p); ++p) {
            if (++digits > 4) return false;
            x = x * 10 + (*p - '0');
        }
        if (digits == 0) return false;
        e += down ? -x : x;
    }
    if (p != end || !exactDecimal(m, e, value)) return false;
    if (negative) value = -value;
    return true;
}

}  // namespace

WholeNumber scanWhole(std::string_view text) {
    WholeNumber n;
    const char* p = text.data();
    const char* end = p + text.size();
    while (p != end && isCSpace(*p)) ++p;
    if (p != end && (*p == '+' || *p == '-')) n.negative = *p++ == '-';
    const char* digits = p;
    for (; p != end && isDigit(*p); ++p) {
        const unsigned d = static_cast<unsigned>(*p - '0');
        if (n.magnitude > (UINT64_MAX - d) / 10) n.overflow = true;
        n.magnitude = n.magnitude * 10 + d;
    }
    n.used = p == digits ? 0 : static_cast<size_t>(p - text.data());
    return n;
}

int32_t parseInt(const char* text, size_t length, bool* outOfRange) {
    const WholeNumber n = scanWhole(std::string_view(text, length));
    const uint64_t limit = n.negative ? uint64_t{1} << 31 : (uint64_t{1} << 31) - 1;
    const bool over = n.overflow || n.magnitude > limit;
    if (outOfRange) *outOfRange = over;
    if (over) return n.negative ? INT32_MIN : INT32_MAX;
    return n.negative ? static_cast<int32_t>(-static_cast<int64_t>(n.magnitude))
                      : static_cast<int32_t>(n.magnitude);
}

ArgumentStatus parseWholeArgument(const char* text, uint64_t max, uint64_t& value) {
    const char* p = text + (*text == '+');
    if (*p == '\0') return ArgumentStatus::Invalid;
    for (const char* q = p; *q; ++q)
        if (!isDigit(*q)) return ArgumentStatus::Invalid;
    const WholeNumber n = scanWhole(p);
    if (n.overflow || n.magnitude > max) return ArgumentStatus::TooLarge;
    value = n.magnitude;
    return ArgumentStatus::Ok;
}

bool parseRealArgument(const char* text, double& value) {
    // White space may stand after the number as it may before it.
    std::string_view view(text);
    while (!view.empty() && isCSpace(view.back())) view.remove_suffix(1);
    return !view.empty() && scanReal(view, value) == view.size();
}

size_t scanReal(std::string_view text, double& value) {
    // Fast paths for plain decimal text: an optional minus sign and a digit
    // or point; short decimals first. from_chars agrees with strtod there
    // except on "0x" prefixes and out-of-range results, which go to strtod
    // itself, as does everything else (white space, '+', inf, nan,
    // hexadecimal).
    const char* p = text.data();
    const char* end = p + text.size();
    const char* q = p + (p != end && *p == '-');
    if (q != end && (isDigit(*q) || *q == '.') &&
        !(*q == '0' && end - q > 1 && (q[1] | 0x20) == 'x')) {
        if (scanShortDecimal(p, end, value)) return text.size();
        auto [stop, ec] = std::from_chars(p, end, value);
        if (ec == std::errc()) return static_cast<size_t>(stop - p);
    }
    size_t used = scanRealSlow(text, value);
    if (used == 0) value = 0.0;
    return used;
}

size_t formatDecimal(char* out, uint64_t v) {
    char digits[20];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    for (size_t i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
    return n;
}

size_t formatShortest(char* out, double v) {
    return static_cast<size_t>(std::to_chars(out, out + shortestLength, v).ptr - out);
}
