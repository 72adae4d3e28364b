#include "family.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <string_view>

#include "pvalue.h"
#include "qqplot.h"
#include "tool.h"

namespace {

// How the first pass reads each p-value (see Survey).
struct SurveyRule {
    double alpha;
    Threshold below;  // alpha as a threshold
    bool full, countBins;
};

// Reads input i in a pass: onText(into, text) as for readPValues, and the
// results merged in order by merge(result).
template <class Result, class OnText, class Merge>
void pass(Inputs& in, int i, OnText&& onText, Merge&& merge) {
    in.pass(i, [&](ByteSource& source) {
        int64_t records = 0;
        readPValues<Result>(
            source, in.name(i), in.threads(),
            [&](Result& into, const std::string_view* fields) {
                ++into.records;
                return onText(into, fields[3]);
            },
            [&](const Result& part) {
                records += part.records;
                merge(part);
            });
        return records;
    });
}

// The p-values of a stretch of records, handed on in order when it is
// merged.
struct Values {
    int64_t records = 0;
    std::vector<double> values;
};

// What the first pass counts of a stretch of an input's records. Only the
// p-values below the split (all of them with `full`) are kept one by one,
// in `values`; of the others it keeps the count and the smallest, whatever
// the order: a p-value whose magnitude shows it above the smallest yet is
// not even read.
struct Tally {
    int64_t records = 0;
    uint64_t present = 0, high = 0;
    double highMin = INFINITY;
    uint64_t highMinCount = 0;
    int64_t aboveHighMin = noDecade;              // values of this decade and up exceed highMin
    std::array<uint64_t, pi0Lambdas + 1> bins{};  // with `countBins`, see Survey
    std::vector<double> values;

    // Counts the p-value `text`, keeping it when it is below alpha; false
    // when it is not a number.
    bool take(std::string_view text, const SurveyRule& rule) {
        if (!rule.full) {
            const Magnitude m = decimalMagnitude(text);
            if (m.kind == Magnitude::Decade && m.decade >= rule.below.failMin &&
                m.decade >= aboveHighMin) {
                // Above alpha and above the smallest such value yet: only
                // counted, and binned from its text where that tells.
                const int bin = rule.countBins ? quickLambdaBin(text, m) : 0;
                if (bin >= 0) {
                    ++present, ++high, ++bins[bin];
                    return true;
                }
            }
        }
        double p;
        if (scanReal(text, p) == 0) return false;
        if (p != p) return true;
        ++present;
        if (rule.countBins) ++bins[pi0Bin(p)];
        if (!rule.full && !(p < rule.alpha)) {
            ++high;
            if (p == highMin) ++highMinCount;
            if (p < highMin) {
                highMin = p, highMinCount = 1;
                const Threshold t = makeThreshold(highMin);
                aboveHighMin = t.failMin + (powerOfTen(t.failMin) == highMin);
            }
            return true;
        }
        values.push_back(p);
        return true;
    }
    // Takes on the counts of the records after these.
    void merge(const Tally& later) {
        records += later.records;
        present += later.present;
        high += later.high;
        if (later.highMin == highMin) highMinCount += later.highMinCount;
        if (later.highMin < highMin) highMin = later.highMin, highMinCount = later.highMinCount;
        for (size_t b = 0; b < bins.size(); ++b) bins[b] += later.bins[b];
    }
};

void keep(std::vector<double>& heap, double p) {
    if (heap.size() < qqPoints) {
        heap.push_back(p);
        std::push_heap(heap.begin(), heap.end());
    } else if (p < heap.front()) {
        std::pop_heap(heap.begin(), heap.end());
        heap.back() = p;
        std::push_heap(heap.begin(), heap.end());
    }
}

// The finer cells of a cell over the p-values of the inputs in `inputs`
// (a mask), with `ones` more p-values of 1.
Refine refineOver(Inputs& in, int inputs, uint64_t ones) {
    return refineFrom(
        [&in, inputs](const std::function<void(double)>& each) { forEachPValue(in, inputs, each); },
        ones);
}

}  // namespace

const char* Inputs::name(int i) const {
    return inputName(paths_[i]);
}

namespace {

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

}  // namespace

std::unique_ptr<ByteSource> Inputs::open(int i) {
    struct stat info;
    auto source = openInputSource(paths_[i], *options_[i], *threads_.pool, &info);
    Seen& seen = seen_[i];
    if (!S_ISREG(info.st_mode)) return source;  // a pipe is read once
    if (seen.known && !sameFile(info, seen.file)) failChanged();
    seen.known = true;
    seen.file = info;
    return source;
}

bool Inputs::changed(int i) const {
    struct stat info;
    return seen_[i].known && stat(paths_[i], &info) == 0 && !sameFile(info, seen_[i].file);
}

void forEachPValue(Inputs& in, int inputs, const std::function<void(double)>& each) {
    for (int i = 0; i < 2; ++i) {
        if (!(inputs >> i & 1)) continue;
        pass<Values>(
            in, i,
            [](Values& into, std::string_view text) {
                double p;
                if (scanReal(text, p) == 0) return false;
                into.values.push_back(p);
                return true;
            },
            [&](const Values& chunk) {
                for (const double p : chunk.values) each(p);
            });
    }
}

Survey::Survey(Inputs& in, double split, bool full, bool countBins, bool keepLowest)
    : split(split),
      highMin(INFINITY),
      lowBound(orderKey(split) - 1),
      full_(full),
      keepLowest_(keepLowest) {
    const SurveyRule rule{split, makeThreshold(split), full, countBins};
    Tally total;
    for (int i = 0; i < 2; ++i) {
        Tally tally;
        pass<Tally>(
            in, i, [&](Tally& into, std::string_view text) { return into.take(text, rule); },
            [&](const Tally& part) {
                tally.merge(part);
                for (const double p : part.values) add(i, p);
            });
        records[i] = tally.records;
        present[i] = tally.present;
        bins[i] = tally.bins;
        total.merge(tally);
    }
    high = total.high;
    highMin = total.highMin;
    highMinCount = total.highMinCount;
    for (auto& heap : lowest) std::sort_heap(heap.begin(), heap.end());
}

void Survey::add(int i, double p) {
    if (full_) zeros[i] += p == 0;
    cells[i].add(orderKey(p), p);
    if (orderKey(p) <= lowBound) keepLow(p);
    if (keepLowest_) keep(lowest[i], p);
}

void Survey::keepLow(double p) {
    low.push_back(p);
    if (low.size() < defaultExactCap) return;
    // Full: keep the smaller half, all of whose values lie below the new
    // bound.
    const auto middle = low.begin() + static_cast<ptrdiff_t>(low.size() / 2);
    std::nth_element(low.begin(), middle, low.end());
    lowBound = orderKey(*middle) - 1;
    low.erase(
        std::remove_if(low.begin(), low.end(), [&](double v) { return orderKey(v) > lowBound; }),
        low.end());
}

void checkFamilySize(uint64_t present, int64_t total) {
    if (present > static_cast<uint64_t>(total))
        fail("%" PRIu64 " p-values present, more than the %" PRId64 " k-mers tested", present,
             total);
}

Cutoff familyCutoff(Inputs& in, Survey& survey, Method method, double alpha, int64_t total,
                    bool full, double pi0) {
    const uint64_t present = survey.present[0] + survey.present[1];
    checkFamilySize(present, total);
    // The family: the p-values present and the absent k-mers as 1s.
    const uint64_t ones = static_cast<uint64_t>(total) - present;
    Histogram all = survey.cells[0];
    all.merge(survey.cells[1]);
    if (full) all.add(orderKey(1.0), 1.0, ones);
    Cells family = all.cells();
    if (!full) {
        // Those below the split in cells; above them, the smallest p-value
        // at or above it (the 1s included) with its ties, then the rest.
        // With the split at alpha no rank of the rest can be a cutoff (every
        // p-value there is above alpha and above a smaller one at or above
        // alpha), nor with storey's at alpha / pi0 or above; else the rest
        // is read again, as any cell.
        for (Cell& c : family) c.keyTo = std::min(c.keyTo, orderKey(survey.split) - 1);
        const double least = std::min(survey.highMin, ones ? 1.0 : INFINITY);
        const uint64_t ties =
            (survey.highMin == least ? survey.highMinCount : 0) + (ones && least == 1.0 ? ones : 0);
        const uint64_t key = orderKey(least);
        if (ties) family.push_back({ties, least, least, key, key});
        if (survey.high + ones > ties)
            family.push_back({survey.high + ones - ties, std::nextafter(least, INFINITY), INFINITY,
                              key + 1, UINT64_MAX});
    }
    const Refine fromInputs = refineOver(in, 3, ones);
    const Refine fromLow = refineFrom(
        [&](const std::function<void(double)>& each) {
            for (const double p : survey.low) each(p);
        },
        0);
    const Cutoff cutoff = methodCutoff(
        method, alpha, total, family,
        [&](const Cell& c) { return c.keyTo <= survey.lowBound ? fromLow(c) : fromInputs(c); },
        pi0);
    std::vector<double>().swap(survey.low);  // memory for the medians' passes
    return cutoff;
}

std::array<uint64_t, pi0Lambdas> atOrAboveLambdas(const Survey& survey, int64_t total) {
    std::array<uint64_t, pi0Lambdas> counts{};
    uint64_t above = static_cast<uint64_t>(total) - survey.present[0] - survey.present[1];
    for (int b = pi0Lambdas; b >= 1; --b) {
        above += survey.bins[0][b] + survey.bins[1][b];
        counts[b - 1] = above;
    }
    return counts;
}

double medianPValue(Inputs& in, int inputs, const Cells& cells, uint64_t n) {
    return median(cells, n, refineOver(in, inputs, 0));
}

double testedMedian(Inputs& in, int inputs, const Cells& cells, uint64_t n, int64_t total) {
    const uint64_t N = static_cast<uint64_t>(total);
    const uint64_t low = (N + 1) / 2, high = N / 2 + 1;  // the ranks of the median
    if ((N % 2 ? low : high) > n) return std::nan("");
    const Refine refine = refineOver(in, inputs, 0);
    const double a = valueAt(cells, 0, low, refine);
    if (N % 2) return a;
    return a / 2 + valueAt(cells, 0, high, refine) / 2;
}
