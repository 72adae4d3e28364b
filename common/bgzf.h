// BGZF, the blocked gzip of bgzip and htslib: gzip members of at most 64 KiB
// each, whose extra field "BC" gives the member's size, ending with an
// empty member. The one place that knows its layout: the reader that
// decodes blocks on several threads (declared in decoders.h) and the writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "sink.h"

// The size of a gzip member whose header (n bytes of it at p) carries the
// BGZF "BC" extra field, else 0.
size_t bgzfBlockSize(const uint8_t* p, size_t n);
inline bool isBgzfHeader(const uint8_t* p, size_t n) {
    return bgzfBlockSize(p, n) != 0;
}

class TaskPool;

// gzip level 1 by ISA-L: about twice as fast as libdeflate's level 1, and a
// quarter smaller on lists of k-mers. Its bytes depend on one thing beyond
// the data: the address of its state. Its AVX2 body writes a stream's first
// byte as a literal, then files the third position in its hash table under
// a hash of the register that holds the state's address (bits 16 to 47 of
// it, by CRC-32C) instead of the bytes there. Where that entry lands decides
// some later matches (when it lands on the entry of the first or second
// position), so the same block came out differently in about one process in
// thirty. The state is therefore placed at a 64 KiB boundary whose bits 16
// to 47 have a CRC-32C with the low 16 bits `key` (the hash table has at
// most 2^16 entries): with the one key every instance, on any thread and in
// any run, writes the same bytes.
class FastDeflate {
  public:
    static constexpr uint32_t defaultKey = 0;
    explicit FastDeflate(uint32_t key = defaultKey);
    ~FastDeflate();
    FastDeflate(const FastDeflate&) = delete;
    FastDeflate& operator=(const FastDeflate&) = delete;
    // The raw deflate data of in[0, n), at most `room` bytes at out; 0 when
    // it does not fit.
    size_t operator()(const uint8_t* in, size_t n, uint8_t* out, size_t room);
    // The key of a state at `state`.
    static uint32_t keyOf(const void* state);
    const void* state() const { return state_; }

  private:
    void* state_ = nullptr;
    std::unique_ptr<uint8_t[]> level_;
};

// BGZF at gzip's `level` (0 stored, 1 the fastest, to 9), blocks compressed on
// the pool's threads; the bytes are the same whatever their number.
std::unique_ptr<ByteSink> bgzfSink(int fd, int level, TaskPool& pool);
