#include "large_memory.h"

#include <sys/mman.h>

#include <algorithm>

namespace {

constexpr size_t smallPage = 4096, hugePage = size_t{2} << 20;

size_t roundUp(size_t bytes, size_t page) {
    return (bytes + page - 1) / page * page;
}

// The pages given back on this thread, each stretch at a 2 MiB boundary.
struct Kept {
    char* at;
    size_t bytes;
};
thread_local std::vector<Kept> kept;

// A mapping of `bytes` at a 2 MiB boundary, so that every whole 2 MiB of
// it can be a huge page; null when the system gives none.
char* mapAligned(size_t bytes) {
    // A huge page more than needed, its ends cut.
    void* got =
        mmap(nullptr, bytes + hugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (got == MAP_FAILED) return nullptr;
    char* at = static_cast<char*>(got);
    const size_t head = (hugePage - reinterpret_cast<uintptr_t>(at) % hugePage) % hugePage;
    if (head) munmap(at, head);
    munmap(at + head + bytes, hugePage - head);
    madvise(at + head, bytes, MADV_HUGEPAGE);
    return at + head;
}

}  // namespace

GrowingArray::~GrowingArray() {
    release();
}

void GrowingArray::release() {
    if (data_) munmap(data_, bytes_);
    data_ = nullptr;
    bytes_ = 0;
}

bool GrowingArray::reserve(size_t bytes) {
    if (bytes <= bytes_) return true;
    bytes = roundUp(bytes, smallPage);
    void* p =
        data_ ? mremap(data_, bytes_, bytes, MREMAP_MAYMOVE)
              : mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    madvise(p, bytes, MADV_HUGEPAGE);
    data_ = static_cast<char*>(p);
    bytes_ = bytes;
    return true;
}

void* takeLargePages(size_t bytes) {
    const size_t size = roundUp(bytes, hugePage);
    char* at = mapAligned(size);
    if (!at) throw std::bad_alloc();
    // Filled from its start with pages kept, moved in place; a stretch
    // longer than needed is cut, and its rest kept.
    size_t filled = 0;
    while (filled < size && !kept.empty()) {
        const Kept k = kept.back();
        const size_t moved = std::min(k.bytes, size - filled);
        if (mremap(k.at, moved, moved, MREMAP_MAYMOVE | MREMAP_FIXED, at + filled) == MAP_FAILED)
            break;  // (left kept: fresh pages serve as well)
        kept.pop_back();
        if (moved < k.bytes) kept.push_back({k.at + moved, k.bytes - moved});
        filled += moved;
    }
    return at;
}

void giveLargePages(void* at, size_t bytes) {
    try {
        kept.push_back({static_cast<char*>(at), roundUp(bytes, hugePage)});
    } catch (const std::bad_alloc&) {
        munmap(at, roundUp(bytes, hugePage));
    }
}

void releaseLargePages() {
    for (const Kept& k : kept) munmap(k.at, k.bytes);
    kept.clear();
}
