// Memory for large arrays, taken from the system directly: mapped as it is
// touched, in 2 MiB pages where the kernel gives them, and never zeroed by
// the program (fresh pages come zeroed). A fresh page costs a fault and
// the kernel's zeroing of it, so pages a thread gives back are kept and
// moved (by remapping, without a copy) into the next array it asks for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

// An array of bytes grown by remapping (no copy, no second array), up to
// what the system gives.
class GrowingArray {
  public:
    GrowingArray() = default;
    ~GrowingArray();
    GrowingArray(const GrowingArray&) = delete;
    GrowingArray& operator=(const GrowingArray&) = delete;
    char* data() const { return data_; }
    size_t bytes() const { return bytes_; }
    // Room for at least `bytes`; false when the system gives no more.
    bool reserve(size_t bytes);
    void release();

  private:
    char* data_ = nullptr;
    size_t bytes_ = 0;
};

// Whole 2 MiB pages at a 2 MiB boundary, room for `bytes`: the pages this
// thread gave back first, the rest fresh. Throws std::bad_alloc.
void* takeLargePages(size_t bytes);
// Gives back what takeLargePages(bytes) returned, kept for the next one.
void giveLargePages(void* at, size_t bytes);
// The pages kept, back to the system.
void releaseLargePages();

// An allocator for vectors of large arrays: takeLargePages from a quarter
// page up, malloc below that; elements left as they come (every element is
// written before it is read).
template <class T>
struct LargePages {
    using value_type = T;
    static constexpr size_t smallest = size_t{512} << 10;
    LargePages() = default;
    template <class U>
    LargePages(const LargePages<U>&) {}
    T* allocate(size_t n) {
        const size_t bytes = n * sizeof(T);
        if (bytes >= smallest) return static_cast<T*>(takeLargePages(bytes));
        if (void* p = std::malloc(bytes)) return static_cast<T*>(p);
        throw std::bad_alloc();
    }
    void deallocate(T* p, size_t n) {
        const size_t bytes = n * sizeof(T);
        if (bytes >= smallest)
            giveLargePages(p, bytes);
        else
            std::free(p);
    }
    template <class U>
    void construct(U* p) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... A>
    void construct(U* p, A&&... a) {
        ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
    }
    template <class U>
    bool operator==(const LargePages<U>&) const {
        return true;
    }
};
template <class T>
using LargeVector = std::vector<T, LargePages<T>>;
