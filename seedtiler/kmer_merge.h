// Sorted k-mer records and the one merge of them: the sorted parts held in
// memory, written in slices of the key range, and the runs spilled to disk
// are all merged here, equal keys joined into one with the sum of their
// counts.
//
// A key is of one of two kinds: a window of A, C, G and T packed two bits
// a base into W 64-bit words (W = 1 for k <= 32, 2 up to 64), the first
// base highest and the first word the higher, whose order as a number is
// its byte order (A < C < G < T); or any window as its k bytes. A record
// is its key, followed, where counts are kept, by its count (8 bytes).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

// Keys packed in W words.
template <size_t W>
struct PackedKind {
    static constexpr size_t words = W;
    size_t keyBytes() const { return 8 * W; }
    bool less(const char* a, const char* b) const {
        for (size_t w = 0; w < W; ++w) {
            uint64_t x, y;
            std::memcpy(&x, a + 8 * w, 8);
            std::memcpy(&y, b + 8 * w, 8);
            if (x != y) return x < y;
        }
        return false;
    }
};

// Keys of k bytes, in byte order.
struct TextKind {
    size_t k;
    size_t keyBytes() const { return k; }
    bool less(const char* a, const char* b) const { return std::memcmp(a, b, k) < 0; }
};

// The four bases of each byte of a packed key, the first highest.
inline constexpr auto baseQuads = [] {
    std::array<std::array<char, 4>, 256> table{};
    for (size_t b = 0; b < 256; ++b)
        for (size_t i = 0; i < 4; ++i) table[b][i] = "ACGT"[(b >> (6 - 2 * i)) & 3];
    return table;
}();

// Writes the `bases` bases of a code at p, four at a time from a table,
// the first base highest; up to 3 bytes past them are written too.
inline void decodeBases(char* p, uint64_t code, size_t bases) {
    const auto& quads = baseQuads;
    const size_t groups = (bases + 3) / 4;
    const uint64_t aligned = code << (2 * (4 * groups - bases));
    for (size_t g = 0; g < groups; ++g)
        std::memcpy(p + 4 * g, quads[(aligned >> (8 * (groups - 1 - g))) & 0xff].data(), 4);
}

// A packed key (one word for k <= 32, else two) as its k bases at p; up to
// 3 bytes past them are written too.
inline void decodeKey(char* p, const char* key, size_t k) {
    uint64_t first;
    std::memcpy(&first, key, 8);
    if (k <= 32) return decodeBases(p, first, k);
    uint64_t second;
    std::memcpy(&second, key + 8, 8);
    decodeBases(p, first, k - 32);
    decodeBases(p + (k - 32), second, 32);
}

// The merge of sorted sources, each a type with
//   bool next(const Kind&, const char*& key, uint64_t& count)
// that hands out its distinct keys in order (false at its end), each valid
// until its next call. Gives each distinct key once, with the sum of its
// counts over every source. Few sources are merged (a bounded fan-in): the
// smallest head is found by a scan, and a source is moved on only when the
// next key is asked for, so that no key is copied.
template <class Kind, class Source>
class Merge {
  public:
    Merge(const Kind& kind, const std::vector<Source*>& sources)
        : kind_(kind), only_(sources.size() == 1 ? sources[0] : nullptr) {
        if (only_) return;  // handed on as it is
        for (Source* s : sources) {
            Head head{s, nullptr, 0};
            if (s->next(kind_, head.key, head.count)) heads_.push_back(head);
        }
    }
    // The next key and its count; false at the end. The key stays valid
    // until the next call.
    bool next(const char*& key, uint64_t& count) {
        if (only_) return only_->next(kind_, key, count);
        // The sources of the last key move on, from the last head back, so
        // that a head removed (by the last taking its place) is not one
        // still to move.
        for (size_t n = taken_.size(); n-- > 0;) {
            Head& h = heads_[taken_[n]];
            if (!h.source->next(kind_, h.key, h.count)) {
                h = heads_.back();
                heads_.pop_back();
            }
        }
        taken_.clear();
        if (heads_.empty()) return false;
        size_t best = 0;
        for (size_t i = 1; i < heads_.size(); ++i)
            if (kind_.less(heads_[i].key, heads_[best].key)) best = i;
        key = heads_[best].key;
        count = 0;
        // Each source holds a key once: the heads not above it equal it.
        for (size_t i = 0; i < heads_.size(); ++i)
            if (i == best || !kind_.less(key, heads_[i].key)) {
                count += heads_[i].count;
                taken_.push_back(i);
            }
        return true;
    }

  private:
    struct Head {
        Source* source;
        const char* key;
        uint64_t count;
    };
    Kind kind_;
    Source* only_;  // the one source, when there is one
    std::vector<Head> heads_;
    std::vector<size_t> taken_;  // ascending
};
