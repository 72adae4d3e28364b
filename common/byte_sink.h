// Writing bytes: plain, gzip (ISA-L) or zstd (libzstd), chosen by the
// output's name, optionally compressed off the writing thread.
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

// The sink for an open output named `path`: gzip when the name ends in
// ".gz", zstd when it ends in ".zst", plain otherwise. With threads >= 1 a
// compressed stream is compressed off the calling thread.
std::unique_ptr<ByteSink> openSink(int fd, const char* path, int threads = 0);
