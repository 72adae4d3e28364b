#include "corrections.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "failure.h"

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

// The cells' ranks: first and last rank of each, counting from base + 1.
template <class Visit>
bool eachRanked(const Cells& cells, uint64_t base, bool fromTop, Visit&& visit) {
    uint64_t total = 0;
    for (const Cell& c : cells) total += c.count;
    uint64_t below = fromTop ? base + total : base;
    for (size_t n = 0; n < cells.size(); ++n) {
        const Cell& c = cells[fromTop ? cells.size() - 1 - n : n];
        const uint64_t first = fromTop ? below - c.count + 1 : below + 1;
        const uint64_t last = first + c.count - 1;
        below = fromTop ? first - 1 : last;
        if (visit(c, first, last)) return true;
    }
    return false;
}

// The finer cells of a cell, which must hold as many p-values as it did.
Cells refined(const Cell& cell, const Refine& refine) {
    Cells finer = refine(cell);
    uint64_t count = 0;
    for (const Cell& c : finer) count += c.count;
    if (count != cell.count) failChanged();
    return finer;
}

}  // namespace

namespace {}  // namespace

void failChanged() {
    fail("the inputs changed while they were being read");
}

namespace {

// Every method and its name, in the order of Method.
const struct {
    const char* name;
    Method method;
    const char* description;
} methods[] = {{"bonferroni", Method::Bonferroni, "Bonferroni: p below alpha / N"},
               {"holm", Method::Holm, "Holm's step-down (family-wise)"},
               {"bh", Method::BH, "Benjamini-Hochberg false discovery rate"},
               {"by", Method::BY, "Benjamini-Yekutieli false discovery rate"},
               {"hochberg", Method::Hochberg, "Hochberg's step-up (family-wise)"},
               {"sidak", Method::Sidak, "Sidak single-step (family-wise)"},
               {"sidak-sd", Method::SidakSD, "Holm-Sidak step-down (family-wise)"},
               {"storey", Method::Storey, "Storey's q-values: adaptive false discovery rate"}};

}  // namespace

bool parseMethod(const char* name, Method& method) {
    for (const auto& m : methods) {
        if (std::strcmp(name, m.name) == 0) {
            method = m.method;
            return true;
        }
    }
    return false;
}

std::string methodNames(const char* between, const char* beforeLast) {
    std::string names;
    for (const auto& m : methods)
        names += (names.empty()                 ? ""
                  : &m == std::end(methods) - 1 ? beforeLast
                                                : between) +
                 std::string(m.name);
    return names;
}

std::vector<Method> allMethods() {
    std::vector<Method> all;
    for (const auto& m : methods) all.push_back(m.method);
    return all;
}

const char* methodDescription(Method method) {
    for (const auto& m : methods)
        if (m.method == method) return m.description;
    return "";
}

const char* methodName(Method method) {
    for (const auto& m : methods)
        if (m.method == method) return m.name;
    return "bonferroni";
}

bool methodNeedsRanks(Method method) {
    return method != Method::Bonferroni && method != Method::Sidak;
}

// As R's sum(1 / (1:n)) gives it, which p.adjust's "BY" uses: each 1/k
// rounded to double, added from k = 1 up in extended precision, while that
// is cheap (up to 10^7, some 30 ms); past it the asymptotic series, exact
// in double (its first omitted term, 1/(252 n^6), lies far below half an
// ulp of H(n)), which may differ from R's sum in the last bit.
double harmonic(int64_t n) {
    constexpr int64_t summedUpTo = 10000000;
    if (n <= summedUpTo) {
        long double sum = 0;
        for (int64_t k = 1; k <= n; ++k) sum += 1.0 / static_cast<double>(k);
        return static_cast<double>(sum);
    }
    const long double x = static_cast<long double>(n), x2 = x * x;
    const long double gamma = 0.57721566490153286060651209008240243L;
    return static_cast<double>(std::log(x) + gamma + 1 / (2 * x) - 1 / (12 * x2) +
                               1 / (120 * x2 * x2));
}

Histogram::Histogram(uint64_t first, int shift)
    : first_(first),
      shift_(shift),
      count_(size_t{1} << bits),
      lo_(size_t{1} << bits, infinity),
      hi_(size_t{1} << bits, -infinity) {}

void Histogram::merge(const Histogram& other) {
    for (size_t i = 0; i < count_.size(); ++i) {
        count_[i] += other.count_[i];
        if (other.lo_[i] < lo_[i]) lo_[i] = other.lo_[i];
        if (other.hi_[i] > hi_[i]) hi_[i] = other.hi_[i];
    }
}

Cells Histogram::cells() const {
    Cells cells;
    const uint64_t span = (uint64_t{1} << shift_) - 1;
    for (size_t i = 0; i < count_.size(); ++i) {
        if (count_[i] == 0) continue;
        const uint64_t from = first_ + (static_cast<uint64_t>(i) << shift_);
        cells.push_back({count_[i], lo_[i], hi_[i], from, from + span});
    }
    return cells;
}

Histogram finerHistogram(const Cell& cell) {
    int spanBits = 64;
    while (spanBits > 0 && ((cell.keyTo - cell.keyFrom) >> (spanBits - 1)) == 0) --spanBits;
    return Histogram(cell.keyFrom, spanBits > Histogram::bits ? spanBits - Histogram::bits : 0);
}

Refine refineFrom(PValuePass pass, uint64_t ones, uint64_t exactCap) {
    return [pass = std::move(pass), ones, exactCap](const Cell& cell) {
        const auto within = [&](uint64_t key) { return key >= cell.keyFrom && key <= cell.keyTo; };
        const uint64_t oneKey = orderKey(1.0);
        if (cell.count > exactCap) {
            Histogram finer = finerHistogram(cell);
            pass([&](double p) {
                if (p == p) finer.add(orderKey(p), p);
            });
            if (ones && within(oneKey)) finer.add(oneKey, 1.0, ones);
            return finer.cells();
        }
        std::vector<double> values;
        pass([&](double p) {
            if (p == p && within(orderKey(p))) values.push_back(p == 0 ? 0 : p);
        });
        std::sort(values.begin(), values.end());
        Cells cells;
        const auto addRun = [&](double v, uint64_t count) {
            if (!cells.empty() && cells.back().lo == v)
                cells.back().count += count;
            else
                cells.push_back({count, v, v, orderKey(v), orderKey(v)});
        };
        size_t at = 0;
        for (; at < values.size() && values[at] <= 1.0; ++at) addRun(values[at], 1);
        if (ones && within(oneKey)) addRun(1.0, ones);
        for (; at < values.size(); ++at) addRun(values[at], 1);
        return cells;
    };
}

std::optional<Ranked> largestWithin(const Cells& cells, uint64_t base, const RankThreshold& t,
                                    const Refine& refine) {
    std::optional<Ranked> found;
    eachRanked(cells, base, true, [&](const Cell& c, uint64_t first, uint64_t last) {
        const double limit = t(last);
        if (!(c.lo <= limit)) return false;  // p(k) >= lo > t(last) >= t(k)
        if (c.hi <= limit) {                 // p(last) is hi
            found = Ranked{last, c.hi};
            return true;
        }
        found = largestWithin(refined(c, refine), first - 1, t, refine);
        return found.has_value();
    });
    return found;
}

std::optional<Ranked> smallestReaching(const Cells& cells, uint64_t base, const RankThreshold& t,
                                       const Refine& refine) {
    std::optional<Ranked> found;
    eachRanked(cells, base, false, [&](const Cell& c, uint64_t first, uint64_t) {
        const double limit = t(first);
        if (c.hi < limit) return false;  // p(k) <= hi < t(first) <= t(k)
        if (c.lo >= limit) {             // p(first) is lo
            found = Ranked{first, c.lo};
            return true;
        }
        found = smallestReaching(refined(c, refine), first - 1, t, refine);
        return found.has_value();
    });
    return found;
}

double valueAt(const Cells& cells, uint64_t base, uint64_t r, const Refine& refine) {
    double value = 0;
    eachRanked(cells, base, false, [&](const Cell& c, uint64_t first, uint64_t last) {
        if (r > last) return false;
        value = c.lo == c.hi ? c.lo : valueAt(refined(c, refine), first - 1, r, refine);
        return true;
    });
    return value;
}

double median(const Cells& cells, uint64_t n, const Refine& refine) {
    if (n == 0) return std::nan("");
    const double low = valueAt(cells, 0, (n + 1) / 2, refine);
    if (n % 2) return low;
    const double high = valueAt(cells, 0, n / 2 + 1, refine);
    return low / 2 + high / 2;
}

Cutoff methodCutoff(Method method, double alpha, int64_t total, const Cells& cells,
                    const Refine& refine, double pi0) {
    const double n = static_cast<double>(total);
    // The rank's count of the p-values from it to the largest, N - i + 1.
    const auto fromTop = [total](uint64_t i) {
        return static_cast<double>(total - static_cast<int64_t>(i) + 1);
    };
    const auto stepDown = [&](const RankThreshold& t) {
        const auto found = smallestReaching(cells, 0, t, refine);
        return Cutoff{found ? found->value : infinity, false};
    };
    const auto stepUp = [&](const RankThreshold& t) {
        const auto found = largestWithin(cells, 0, t, refine);
        return found ? Cutoff{found->value, true} : Cutoff{-infinity, false};
    };
    switch (method) {
        case Method::Holm:
            return stepDown([&](uint64_t i) { return alpha / fromTop(i); });
        case Method::SidakSD:
            return stepDown(
                [&](uint64_t i) { return -std::expm1(std::log1p(-alpha) / fromTop(i)); });
        case Method::Hochberg:
            return stepUp([&](uint64_t k) { return alpha / fromTop(k); });
        case Method::BH:
        case Method::BY: {
            const double a = method == Method::BY ? alpha / harmonic(total) : alpha;
            return stepUp([&](uint64_t k) { return (static_cast<double>(k) * a) / n; });
        }
        case Method::Storey:
            return stepUp([&](uint64_t k) { return (static_cast<double>(k) * alpha) / (pi0 * n); });
        case Method::Sidak:
            return {-std::expm1(std::log1p(-alpha) / n), false};
        default:
            return {alpha / n, false};
    }
}

double singleStepAdjusted(Method method, int64_t total, double p) {
    const double n = static_cast<double>(total);
    if (total <= 1) return p;
    if (method == Method::Sidak) return -std::expm1(n * std::log1p(-p));
    return std::min(1.0, n * p);
}

std::vector<double> adjustedPValues(Method method, int64_t total, const std::deque<double>& passing,
                                    uint64_t absentOnes, double pi0) {
    const double n = static_cast<double>(total);
    std::vector<double> adjusted(passing.begin(), passing.end());
    if (total <= 1) return adjusted;  // as R leaves a family of one
    // The runs of equal p-values, [from, to) in `passing`, and their first
    // and last ranks: the absent k-mers join the run of 1s, and stand
    // before the values above 1.
    const auto first = [&](size_t from) {
        return static_cast<double>(from + 1 + (passing[from] > 1 ? absentOnes : 0));
    };
    const auto last = [&](size_t from, size_t to) {
        return static_cast<double>(to + (passing[from] >= 1 ? absentOnes : 0));
    };
    const auto runEnd = [&](size_t from) {
        size_t to = from + 1;
        while (to < passing.size() && passing[to] == passing[from]) ++to;
        return to;
    };
    const auto set = [&](size_t from, size_t to, double v) {
        std::fill(adjusted.begin() + static_cast<ptrdiff_t>(from),
                  adjusted.begin() + static_cast<ptrdiff_t>(to), v);
    };
    const auto capped = [](double v) { return std::min(1.0, v); };
    // R's order of operations: (n + 1 - i) * p, n / i * p, q * n / i * p.
    switch (method) {
        case Method::Holm:
        case Method::SidakSD: {
            double running = -infinity;  // the maximum from the smallest up
            for (size_t from = 0, to; from < passing.size(); from = to) {
                to = runEnd(from);
                const double p = passing[from];
                const double v = method == Method::Holm
                                     ? (n + 1 - first(from)) * p
                                     : -std::expm1((n + 1 - first(from)) * std::log1p(-p));
                running = std::max(running, v);
                set(from, to, method == Method::Holm ? capped(running) : running);
            }
            break;
        }
        case Method::Hochberg:
        case Method::BH:
        case Method::BY:
        case Method::Storey: {
            const double q = method == Method::BY ? harmonic(total) : 1;
            double running = infinity;  // the minimum from the largest down
            for (size_t to = passing.size(), from; to > 0; to = from) {
                from = to - 1;
                while (from > 0 && passing[from - 1] == passing[to - 1]) --from;
                const double p = passing[from], i = last(from, to);
                const double v = method == Method::Hochberg ? (n + 1 - i) * p
                                 : method == Method::BY     ? q * n / i * p
                                                            : n / i * p;
                running = std::min(running, v);
                set(from, to, method == Method::Storey ? pi0 * capped(running) : capped(running));
            }
            break;
        }
        default:
            for (double& v : adjusted) v = singleStepAdjusted(method, total, v);
    }
    return adjusted;
}
