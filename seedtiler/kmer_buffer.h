// The windows a k-mer set holds in memory (in arrays that grow as they
// fill): their sort, packed windows by radix on the pool's threads, text
// windows by their bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "kmer_merge.h"
#include "large_memory.h"

class TaskPool;

// A sorted range of packed windows: their keys, W words each.
struct Part {
    const char *begin, *end;
};

// Sorts the n packed windows (`words` words each, 2k bits) on the pool's
// threads, using `scratch` as large as `keys`: the parts returned, each
// sorted and in either array, hold the keys in order one after another,
// and no key lies in two of them.
std::vector<Part> sortKeys(uint64_t* keys, uint64_t* scratch, size_t n, size_t words, size_t k,
                           TaskPool& pool);

// The packed windows of sorted parts (as sortKeys gives them) handed out
// in order, equal ones as one with their number.
class MemoryKeys {
  public:
    MemoryKeys(std::vector<Part> parts, size_t keyBytes)
        : parts_(std::move(parts)), size_(keyBytes) {}
    template <class Kind>
    bool next(const Kind& kind, const char*& key, uint64_t& count) {
        while (at_ == end_) {
            if (part_ == parts_.size()) return false;
            at_ = parts_[part_].begin, end_ = parts_[part_].end;
            ++part_;
        }
        key = at_;
        count = 1;
        for (at_ += size_; at_ != end_ && !kind.less(key, at_); at_ += size_) ++count;
        return true;
    }

  private:
    std::vector<Part> parts_;
    size_t part_ = 0;
    const char *at_ = nullptr, *end_ = nullptr;
    size_t size_;
};

// The text windows in byte order, equal ones handed out as one with their
// number.
class SortedText {
  public:
    SortedText(const char* text, size_t count, size_t k);
    bool next(const TextKind& kind, const char*& key, uint64_t& count) {
        if (at_ == order_.size()) return false;
        key = text_ + size_t{order_[at_]} * k_;
        count = 1;
        for (++at_; at_ < order_.size() && !kind.less(key, text_ + size_t{order_[at_]} * k_); ++at_)
            ++count;
        return true;
    }

  private:
    const char* text_;
    size_t k_;
    std::vector<uint32_t> order_;
    size_t at_ = 0;
};
