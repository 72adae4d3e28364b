// Writing bytes: plain, BGZF (libdeflate) or zstd (libzstd), chosen by the
// output's name, optionally compressed on threads of their own.
#pragma once

#include <cstddef>
#include <memory>

class ByteSink {
  public:
    virtual ~ByteSink() = default;
    // Both return 0 or the errno of the failure.
    virtual int write(const char* data, size_t n) = 0;
    // Writes what is still held back (a compressed stream's end).
    virtual int finish() = 0;
};

// Writes all of `data` to fd, retrying after interruptions and short writes.
// Returns 0 or the errno of the failure.
int writeAll(int fd, const char* data, size_t n);

inline constexpr int defaultGzipLevel = 1;  // libdeflate's fastest
inline constexpr int defaultZstdLevel = 3;

// The sink for an open output named `path`: BGZF (blocked gzip) when the
// name ends in ".gz", zstd when it ends in ".zst", plain otherwise, at
// `level` (-1 for the format's default). With threads >= 1 BGZF blocks are
// compressed on that many threads, and zstd by that many libzstd workers;
// the bytes written are the same whatever the number.
std::unique_ptr<ByteSink> openSink(int fd, const char* path, int threads = 0, int level = -1);

// zstd at `level` by `workers` libzstd workers (one at least, so that the
// frames are the same whatever their number).
std::unique_ptr<ByteSink> zstdSink(int fd, int level, int workers);

// Whether an output named `path` is written compressed (.gz or .zst).
bool compressedName(const char* path);

// Why `level` does not suit the output named `path`, or null.
const char* compressLevelProblem(const char* path, int level);
