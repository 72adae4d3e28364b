// Buffered output to a file descriptor, compressed when its name says so.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "sink.h"

struct Output;
class RunThreads;

// How outputs are written: the run's threads that compress them, and the
// compression level (-1 for the format's default).
struct OutputOptions {
    RunThreads* threads = nullptr;  // none: no extra thread
    int level = -1;
};

// Buffered output to a file descriptor, compressed when `path` (if given)
// names a compressed file (see openSink). Every write is checked: the
// first failure fails the run with "cannot write 'NAME': reason", except a
// broken pipe on standard output, which ends the run quietly by SIGPIPE as
// other filters do (a Failure carrying the signal).
class OutputFile {
  public:
    OutputFile(int fd, const char* name, size_t capacity = size_t{1} << 20,
               const char* path = nullptr, const OutputOptions& options = {});
    // An output of the run (files.h), whose descriptor it takes.
    OutputFile(Output& output, size_t capacity, const OutputOptions& options = {});
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Room for at least n bytes at the returned pointer; n must not exceed
    // the capacity. Follow with commit() of the bytes actually written.
    char* reserve(size_t n) {
        if (cap_ - used_ < n) flush();
        return buf_ + used_;
    }
    void commit(size_t n) { used_ += n; }

    void write(const char* data, size_t n);
    void put(char c) { *reserve(1) = c, commit(1); }
    void put(const char* text) { write(text, std::strlen(text)); }

    void flush();
    // Flushes and closes the descriptor, checking both.
    void close();

  private:
    [[noreturn]] void failWrite(int err);
    int fd_;
    bool standard_;
    const char* name_;
    std::string stagedIn_;  // where a staged output's bytes go first
    std::unique_ptr<ByteSink> sink_;
    char* buf_;
    size_t cap_;
    size_t used_ = 0;
};

// Writes the whole of `text` to an output of the run and closes it.
void writeWhole(Output& output, std::string_view text, const OutputOptions& options = {});
