// Multiple-testing corrections, decided exactly over every p-value of a run
// without holding them all.
//
// The family is the N k-mers tested; the p-values present are those of the
// records (nan takes no rank), and the k-mers tested but absent count as
// p = 1. With the p-values sorted, p(1) <= ... <= p(N), and every quotient
// computed in IEEE double as written:
//   bonferroni  passes p < alpha / N
//   holm        i = the smallest rank with p(i) >= alpha / (N - i + 1);
//               passes p < p(i) (every p-value when there is no such i)
//   bh          k = the largest rank with p(k) <= (k * alpha) / N;
//               passes p <= p(k) (none when there is no such k)
//   by          bh with alpha / H(N) for alpha
//   hochberg    k = the largest rank with p(k) <= alpha / (N - k + 1);
//               passes p <= p(k)
//   sidak       passes p < -expm1(log1p(-alpha) / N)
//   sidak-sd    i = the smallest rank with
//               p(i) >= -expm1(log1p(-alpha) / (N - i + 1));
//               passes p < p(i) (every p-value when there is no such i)
//   storey      k = the largest rank with p(k) <= (k * alpha) / (pi0 * N);
//               passes p <= p(k), that is q <= alpha
//
// The sorted order is found from histograms of the p-values' bit patterns:
// a pass over the records counts them in 65536 cells (with each cell's
// smallest and largest value), the cells that may hold the rank sought are
// read again in finer cells, or as exact values once few enough, and a cell
// that holds one value only (ties, however many) is decided by its count.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Fails the run: an input read again did not hold what it held before.
[[noreturn]] void failChanged();

enum class Method { Bonferroni, Holm, BH, BY, Hochberg, Sidak, SidakSD, Storey };

// Parses a method's name (bonferroni, holm, bh, by, hochberg, sidak,
// sidak-sd, storey); false if unknown.
bool parseMethod(const char* name, Method& method);
const char* methodName(Method method);
// What a method is, in a few words.
const char* methodDescription(Method method);
// Every method's name, in order: `between` separates them, `beforeLast`
// the last two ("bonferroni, holm, ... or storey").
std::string methodNames(const char* between, const char* beforeLast);
// Every method, in order.
std::vector<Method> allMethods();
// Whether the method's cutoff depends on the ranks of the p-values (all
// but bonferroni and sidak, whose cutoff depends on alpha and N only).
bool methodNeedsRanks(Method method);

// A 64-bit key that orders doubles as < does (-0 with +0); not for nan.
inline uint64_t orderKey(double p) {
    if (p == 0) p = 0;
    uint64_t bits;
    std::memcpy(&bits, &p, sizeof bits);
    return bits >> 63 ? ~bits : bits | (uint64_t{1} << 63);
}

// H(n) = 1 + 1/2 + ... + 1/n, rounded to double.
double harmonic(int64_t n);

// Non-empty cells of p-values, in key order: `count` p-values with keys
// in [keyFrom, keyTo], the smallest `lo` and the largest `hi`.
struct Cell {
    uint64_t count;
    double lo, hi;
    uint64_t keyFrom, keyTo;
};
using Cells = std::vector<Cell>;

// The cells of one cell's p-values, from a new pass over the records:
// exact values (one cell per distinct value) when they are few, finer
// cells otherwise.
using Refine = std::function<Cells(const Cell& cell)>;

// 65536 cells of 2^shift keys each, from key `first`.
class Histogram {
  public:
    static constexpr int bits = 16;
    Histogram(uint64_t first, int shift);
    void add(uint64_t key, double p, uint64_t times = 1) {
        const uint64_t at = (key - first_) >> shift_;
        if (at >= count_.size()) return;
        count_[at] += times;
        if (p < lo_[at]) lo_[at] = p;
        if (p > hi_[at]) hi_[at] = p;
    }
    void merge(const Histogram& other);
    Cells cells() const;

  private:
    uint64_t first_;
    int shift_;
    std::vector<uint64_t> count_;
    std::vector<double> lo_, hi_;
};

// The cell of keys [from, to] in 65536 finer cells.
Histogram finerHistogram(const Cell& cell);

// A pass over p-values: calls `each` with every one of them (nan included).
using PValuePass = std::function<void(const std::function<void(double)>& each)>;

// The refinement by passes over the p-values, with `ones` more p-values of
// 1: a cell of at most `exactCap` p-values becomes one cell per distinct
// value, a larger one 65536 finer cells.
inline constexpr uint64_t defaultExactCap = uint64_t{1} << 21;
Refine refineFrom(PValuePass pass, uint64_t ones, uint64_t exactCap = defaultExactCap);

// The largest rank k with p(k) <= t(k), for a nondecreasing t, and p(k);
// ranks of the cells start at base + 1.
struct Ranked {
    uint64_t rank;
    double value;
};
using RankThreshold = std::function<double(uint64_t rank)>;
std::optional<Ranked> largestWithin(const Cells& cells, uint64_t base, const RankThreshold& t,
                                    const Refine& refine);
// The smallest rank i with p(i) >= t(i), for a nondecreasing t, and p(i).
std::optional<Ranked> smallestReaching(const Cells& cells, uint64_t base, const RankThreshold& t,
                                       const Refine& refine);
// The p-value of rank r (base < r <= base + the cells' count).
double valueAt(const Cells& cells, uint64_t base, uint64_t r, const Refine& refine);

// The median of n p-values: p((n + 1) / 2), or the mean of the two middle
// ones when n is even.
double median(const Cells& cells, uint64_t n, const Refine& refine);

// What passes: p < value, or p <= value when `inclusive`.
struct Cutoff {
    double value;
    bool inclusive;
};

// The cutoff of `method` over `cells`, which hold every p-value of the
// family (total of them: the absent k-mers counted as p = 1); pi0 is
// storey's.
Cutoff methodCutoff(Method method, double alpha, int64_t total, const Cells& cells,
                    const Refine& refine, double pi0 = 1);

// The adjusted p-value of p for a method whose cutoff does not depend on
// ranks: bonferroni min(1, N * p), sidak -expm1(N * log1p(-p)); p itself
// when N is 1, as R leaves a family of one.
double singleStepAdjusted(Method method, int64_t total, double p);

// The adjusted p-values of the p-values that pass the method's cutoff, as
// R's p.adjust(p, method, n = total) gives them (storey: pi0 times bh's),
// in IEEE double in R's order of operations. `passing` holds those
// p-values sorted, ties included: every p-value of the family below the
// largest of them, and `absentOnes` absent k-mers counting as 1 beside the
// ones there. Returns each one's value, in the same order.
std::vector<double> adjustedPValues(Method method, int64_t total, const std::deque<double>& passing,
                                    uint64_t absentOnes, double pi0 = 1);
