// The family of p-values of a run: the records of both inputs, read in
// passes on the run's threads, and what the corrections, the report and
// the plot learn from them.
#pragma once

#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "corrections.h"
#include "failure.h"
#include "pi0.h"
#include "records.h"

struct Option;

// The two inputs, read as often as the passes need them. Every pass reads
// what the first pass read, or fails the run: a file changed meanwhile
// (its device, inode, size or modification time), or a pass that read
// another number of records, is "the inputs changed while they were being
// read", whatever the change and whenever it came.
class Inputs {
  public:
    Inputs(const char* const paths[2], const Option* const options[2], RecordThreads threads)
        : paths_{paths[0], paths[1]}, options_{options[0], options[1]}, threads_(threads) {}
    const char* path(int i) const { return paths_[i]; }
    const char* name(int i) const;  // in messages
    const RecordThreads& threads() const { return threads_; }

    // Opens input i for a pass; checks it against the first pass.
    std::unique_ptr<ByteSource> open(int i);
    // A pass over input i, opened now or given: read(source) reads it and
    // returns the records it read. A failure of the pass in a file that
    // has changed meanwhile (a cut record, say) is the change.
    template <class Read>
    void pass(int i, Read&& read, std::unique_ptr<ByteSource> opened = nullptr) {
        const auto source = opened ? std::move(opened) : open(i);
        int64_t records;
        try {
            records = read(*source);
        } catch (const Failure&) {
            if (changed(i)) failChanged();
            throw;
        }
        if (seen_[i].records >= 0 && seen_[i].records != records) failChanged();
        seen_[i].records = records;
    }

  private:
    bool changed(int i) const;
    struct Seen {
        bool known = false;
        struct stat file {};   // at the first opening
        int64_t records = -1;  // -1 until a pass ended
    };
    const char* paths_[2];
    const Option* options_[2];  // the options naming them, for messages
    RecordThreads threads_;
    Seen seen_[2];
};

// Calls each(p) for every p-value (nan included) of the inputs in `inputs`
// (a mask: 1 case, 2 control), in the order of the records.
void forEachPValue(Inputs& in, int inputs, const std::function<void(double)>& each);

// What a first pass over the records learns of each input. With `full`,
// every p-value is read exactly into the histograms. Otherwise (only a
// cutoff is sought, which is below the split or the smallest p-value at or
// above it: the split is alpha, or more for storey), the p-values at or
// above the split are only counted, and read exactly only when their
// magnitude shows they may be the smallest such.
struct Survey {
    double split;
    int64_t records[2] = {};
    uint64_t present[2] = {};  // p-values other than nan
    Histogram cells[2] = {Histogram(0, 64 - Histogram::bits), Histogram(0, 64 - Histogram::bits)};
    uint64_t high = 0;          // without `full`: p-values at or above the split,
    double highMin;             // the smallest of them,
    uint64_t highMinCount = 0;  // and how many times it occurs
    // Every p-value of both inputs with a key up to lowBound (below the split):
    // the cells there are refined without reading the inputs again.
    std::vector<double> low;
    uint64_t lowBound;
    std::vector<double> lowest[2];  // with `keepLowest`, the qqPoints smallest, ascending
    // With `countBins`, the p-values at or above exactly b of pi0's lambdas.
    std::array<uint64_t, pi0Lambdas + 1> bins[2] = {};
    uint64_t zeros[2] = {};  // with `full`, the p-values of 0

    Survey(Inputs& in, double split, bool full, bool countBins, bool keepLowest);
    // Adds a p-value below the split (or any, with `full`) of input i.
    void add(int i, double p);

  private:
    void keepLow(double p);
    bool full_, keepLowest_;
};

// Fails the run when more p-values are present than k-mers were tested.
void checkFamilySize(uint64_t present, int64_t total);

// The cutoff of a method that needs ranks over the family of `total`
// p-values: those of the inputs and the k-mers tested but absent as 1s
// (pi0 is storey's). Fails the run when more p-values are present than
// k-mers were tested.
Cutoff familyCutoff(Inputs& in, Survey& survey, Method method, double alpha, int64_t total,
                    bool full, double pi0);

// #{p >= lambda_j} over the family of `total` (absent k-mers counting as
// 1s), from a survey that counted the bins.
std::array<uint64_t, pi0Lambdas> atOrAboveLambdas(const Survey& survey, int64_t total);

// The median p-value of the inputs in `inputs` (a mask), of which there
// are n with the cells given.
double medianPValue(Inputs& in, int inputs, const Cells& cells, uint64_t n);

// The median of the family of the `total` k-mers tested, the absent ones
// counting as larger than every p-value present (n of the inputs in
// `inputs`, with the cells given): nan when it falls among the absent ones,
// as when fewer than half are present.
double testedMedian(Inputs& in, int inputs, const Cells& cells, uint64_t n, int64_t total);
