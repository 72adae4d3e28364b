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

// BGZF at gzip's `level` (0 stored, 1 the fastest, to 9), blocks compressed on
// the pool's threads; the bytes are the same whatever their number.
std::unique_ptr<ByteSink> bgzfSink(int fd, int level, TaskPool& pool);
