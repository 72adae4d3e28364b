// Scanning kernels over whole buffers and whole lines, one build per
// instruction set, chosen once when a tool starts.
//
// The best set the CPU supports is used unless the environment variable
// KMERTOOLS_SIMD names one (scalar, sse2, avx2, avx512, avx512vbmi2), for tests,
// benchmarks and bug reports. Every set gives the same answers as the scalar
// one; only the speed differs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace simd {

// Where a walk over count fields stopped.
struct CountWalk {
    int64_t sum = 0;             // the sum of the counts read
    int64_t present = 0;         // how many of them are above 0
    int64_t read = 0;            // how many fields were read
    const char* next = nullptr;  // where a following walk starts: after the last field read
    const char* bad = nullptr;   // a count out of the 32-bit range, else null
    size_t badLength = 0;
    // How many were read one by one (a sign, a point, five digits or
    // more...); every other count read is 0 to 9999.
    int64_t slow = 0;
};

inline constexpr size_t kCountSlack = 32;

// addShortSamples packs a sample's rows into one 32-bit word: the sum of
// their counts below this bit, the rows where it is above 0 from it on.
// 256 rows of counts up to 9999 fit: 2 559 744 < 2^22 and 256 < 2^10.
inline constexpr int kPresentShift = 22;
inline constexpr int kPackedRows = 256;

// A row's counts of one side summed: their sum, and how many are above 0.
struct RowCounts {
    int64_t sum = 0, present = 0;
};

struct Kernels {
    const char* name;
    // For each 64-byte block b of p: bit i of newlines[b] is set when
    // p[64 b + i] is a newline, and (when delimiters is not null) bit i of
    // delimiters[b] when it is a space, tab or newline.
    void (*index)(const char* p, size_t blocks, uint64_t* newlines, uint64_t* delimiters);
    // Reads up to n count fields of the row text [p, end), which starts at a
    // field boundary and is followed by at least 64 readable bytes. Fields
    // are separated by spaces and tabs, and each reads as parseInt reads it.
    // Stops early at the end of the row or at a count out of the 32-bit
    // range.
    CountWalk (*walkCounts)(const char* p, const char* end, int64_t n);
    // walkCounts that stores each count it reads in counts[0 .. read)
    // instead of summing them (sum and present are left 0: addSamples sums
    // them as it adds them); counts has room for n + kCountSlack values, as
    // it may write past the last count read.
    CountWalk (*readCounts)(const char* p, const char* end, int64_t n, int32_t* counts);
    // Adds counts[s] to totals[s], and 1 to present[s] when it is above 0,
    // for each s below n; gives the counts' sum and how many are above 0.
    RowCounts (*addSamples)(const int32_t* counts, size_t n, int64_t* totals, int64_t* present);
    // addSamples for counts of 0 to 9999 (a walk with no slow count): adds
    // counts[s] and, when it is above 0, 1 << kPresentShift to packed[s].
    // One word per sample instead of two: half the memory written.
    RowCounts (*addShortSamples)(const int32_t* counts, size_t n, uint32_t* packed);
    // The n letters at p (1 <= n <= 64, p[0 .. 64) readable) two bits each,
    // A 0, C 1, G 2 and T 3 in either case, the first lowest: letters 0 to
    // 31 in bases[0], the rest in bases[1] (0 when n <= 32). False when one
    // is another character (bases then hold anything).
    bool (*packBases)(const char* p, size_t n, uint64_t bases[2]);
};

// Avx512Vbmi2: AVX-512BW with byte permutes and byte compression (Ice Lake,
// Zen 4 and later), for storing a row's counts.
enum class Set { Scalar, Sse2, Avx2, Avx512, Avx512Vbmi2 };
inline constexpr Set allSets[] = {Set::Scalar, Set::Sse2, Set::Avx2, Set::Avx512, Set::Avx512Vbmi2};

const char* setName(Set set);
// Whether this build has the set and this CPU can run it.
bool supported(Set set);
// The kernels of a supported set.
const Kernels& kernelsFor(Set set);

// The kernels in use: the best supported set, or the one chosen last.
const Kernels& kernels();
void useKernels(Set set);

// Applies KMERTOOLS_SIMD when it is set. Returns null, or a message saying
// why the value cannot be used.
const char* selectFromEnvironment();

}  // namespace simd
