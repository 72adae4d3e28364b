// Writing bytes: plain, BGZF (libdeflate) or zstd (libzstd), chosen by the
// output's name, optionally compressed on threads of their own.
#pragma once

#include <cstddef>
#include <memory>

class RunThreads;

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
// `level` (-1 for the format's default). BGZF blocks are compressed on the
// run's pool, and zstd by the run's libzstd workers; the bytes written are
// the same whatever their number.
std::unique_ptr<ByteSink> openSink(int fd, const char* path, RunThreads& threads, int level = -1);

// zstd at `level` by the run's libzstd workers (one at least, so that the
// frames are the same whatever their number); fails the run, naming `path`,
// when not one can be started.
std::unique_ptr<ByteSink> zstdSink(int fd, int level, RunThreads& threads, const char* path);

// Whether an output named `path` is written compressed (.gz or .zst), and
// whether as zstd.
bool compressedName(const char* path);
bool zstdName(const char* path);

// Why `level` does not suit the output named `path`, or null.
const char* compressLevelProblem(const char* path, int level);
