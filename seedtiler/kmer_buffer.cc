#include "kmer_buffer.h"

#include <algorithm>
#include <array>
#include <numeric>
#include <utility>

#include "task_pool.h"

namespace {

// Sorts n keys of W words (the most significant first) by their `bits`
// low bits, 8-bit digits, least significant first, the counts of every
// digit taken in one pass; returns where the sorted keys are (keys or
// scratch).
template <size_t W>
uint64_t* radixSort(uint64_t* keys, uint64_t* scratch, size_t n, int bits) {
    constexpr int digit = 8;
    constexpr size_t buckets = size_t{1} << digit;
    const int passes = (bits + digit - 1) / digit;
    const auto digitOf = [](const uint64_t* key, int d) {
        const int bit = digit * d;
        return (key[W - 1 - bit / 64] >> (bit % 64)) & (buckets - 1);
    };
    std::vector<size_t> count(buckets * static_cast<size_t>(passes));
    for (size_t i = 0; i < n; ++i)
        for (int d = 0; d < passes; ++d)
            ++count[buckets * static_cast<size_t>(d) + digitOf(keys + W * i, d)];
    for (int d = 0; d < passes; ++d) {
        size_t* c = count.data() + buckets * static_cast<size_t>(d);
        if (std::count(c, c + buckets, size_t{0}) == buckets - 1) continue;  // one digit: in order
        size_t sum = 0;
        for (size_t b = 0; b < buckets; ++b) sum += std::exchange(c[b], sum);
        for (size_t i = 0; i < n; ++i) {
            const uint64_t* key = keys + W * i;
            uint64_t* to = scratch + W * c[digitOf(key, d)]++;
            for (size_t w = 0; w < W; ++w) to[w] = key[w];
        }
        std::swap(keys, scratch);
    }
    return keys;
}

// The 8-bit digit of a key of W words whose low bit is `bit`.
template <size_t W>
size_t digitAt(const uint64_t* key, int bit) {
    const uint64_t low = key[W - 1 - bit / 64] >> (bit % 64);
    const int spill = bit % 64 + 8 - 64;  // bits of the digit in the next word up
    return (spill > 0 && bit / 64 + 1 < static_cast<int>(W)
                ? low | key[W - 2 - bit / 64] << (64 - bit % 64)
                : low) &
           0xff;
}

// The packed windows sorted on the pool: the top 8 of their `bits` bits
// cut them into 256 buckets (each thread counting and moving its share of
// the keys), then the buckets, in groups of about equal size, are sorted
// each by radix on the bits below, on the pool's threads. A bucket of
// 1/256 of the keys sorts within the caches.
template <size_t W>
std::vector<Part> sortBuckets(uint64_t* keys, uint64_t* scratch, size_t n, int bits,
                              TaskPool& pool) {
    const auto part = [](const uint64_t* at, size_t count) {
        const char* begin = reinterpret_cast<const char*>(at);
        return Part{begin, begin + 8 * W * count};
    };
    if (n < 65536 || bits <= 8) return {part(radixSort<W>(keys, scratch, n, bits), n)};
    const int top = bits - 8;
    const size_t shares = static_cast<size_t>(pool.threads()) + 1;
    std::vector<std::array<size_t, 256>> count(shares);
    const auto share = [&](size_t s) { return n * s / shares; };
    std::vector<TaskPool::Done> done(shares);
    const auto onEachShare = [&](auto work) {
        for (size_t s = 0; s < shares; ++s) pool.submit([&work, s] { work(s); }, done[s]);
        for (auto& d : done) pool.wait(d);
    };
    onEachShare([&](size_t s) {
        count[s].fill(0);
        for (size_t i = share(s); i < share(s + 1); ++i) ++count[s][digitAt<W>(keys + W * i, top)];
    });
    // Where each share's keys of each bucket go, and where each bucket starts.
    std::array<size_t, 257> start{};
    for (size_t b = 0, at = 0; b < 256; ++b) {
        start[b] = at;
        for (size_t s = 0; s < shares; ++s) at += std::exchange(count[s][b], at);
        start[b + 1] = at;
    }
    onEachShare([&](size_t s) {
        std::array<size_t, 256>& to = count[s];
        for (size_t i = share(s); i < share(s + 1); ++i) {
            const uint64_t* key = keys + W * i;
            uint64_t* place = scratch + W * to[digitAt<W>(key, top)]++;
            for (size_t w = 0; w < W; ++w) place[w] = key[w];
        }
    });
    // The buckets in groups of about n / (4 shares) keys, sorted as tasks.
    std::vector<Part> parts(256);
    std::vector<size_t> groups{0};
    for (size_t b = 0; b < 256; ++b)
        if (start[b + 1] - start[groups.back()] >= n / (4 * shares) || b == 255)
            groups.push_back(b + 1);
    std::vector<TaskPool::Done> sorted(groups.size() - 1);
    for (size_t g = 0; g + 1 < groups.size(); ++g)
        pool.submit(
            [&, g] {
                for (size_t b = groups[g]; b < groups[g + 1]; ++b) {
                    const size_t m = start[b + 1] - start[b];
                    parts[b] =
                        part(radixSort<W>(scratch + W * start[b], keys + W * start[b], m, top), m);
                }
            },
            sorted[g]);
    for (auto& d : sorted) pool.wait(d);
    return parts;
}

}  // namespace

std::vector<Part> sortKeys(uint64_t* keys, uint64_t* scratch, size_t n, size_t words, size_t k,
                           TaskPool& pool) {
    const int bits = static_cast<int>(2 * k);
    return words == 1 ? sortBuckets<1>(keys, scratch, n, bits, pool)
                      : sortBuckets<2>(keys, scratch, n, bits, pool);
}

SortedText::SortedText(const char* text, size_t count, size_t k)
    : text_(text), k_(k), order_(count) {
    std::iota(order_.begin(), order_.end(), 0);
    std::sort(order_.begin(), order_.end(), [&](uint32_t a, uint32_t b) {
        return std::memcmp(text + size_t{a} * k, text + size_t{b} * k, k) < 0;
    });
}
