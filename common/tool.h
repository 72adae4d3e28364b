// The frame every tool shares: its name in messages, --help and --version,
// opening files, and checked buffered output.
//
// Messages go to standard error as "TOOL: cannot open 'FILE': reason" or
// "TOOL: FILE:LINE: what is wrong". Exit statuses: 0 success, 1 a failed
// run, 2 a usage error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

inline constexpr int exitFailure = 1;
inline constexpr int exitUsage = 2;

// Sets the name used in messages, makes a broken pipe an ordinary write
// error, and picks the scanning kernels (a KMERTOOLS_SIMD the CPU cannot
// run is a usage error). When the first argument is --help or --version,
// prints `usage` or the version on standard output and exits. Other
// arguments are left to the tool.
void startTool(const char* name, int argc, char** argv, const char* usage);

// The exit status of a run that did its work: 0, or 1 when standard error
// could not be written (checked once at the end, as coreutils does).
int finishTool();

// Prints "TOOL: " and the formatted message on standard error.
void report(const char* format, ...) __attribute__((format(printf, 1, 2)));

// How much of a field to quote in a message: at most `limit` characters.
inline int shown(size_t length, int limit = 40) {
    return length < static_cast<size_t>(limit) ? static_cast<int>(length) : limit;
}

// Reports the message and exits with status 1.
[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// What fail() does instead of reporting and exiting, for running a tool's
// steps inside another program (the fuzz targets): the hook receives the
// message and must not return (it may throw). Null restores the default.
using FailureHook = void (*)(const char* message);
void setFailureHook(FailureHook hook);

// Reports the message and a hint to --help, and exits with status 2.
[[noreturn]] void failUsage(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Opens an input file for reading; a directory is refused. Fails the run
// with "cannot open 'FILE': reason" when it cannot be opened.
int openInput(const char* path);

// Creates or empties an output file. Fails the run when it cannot.
int createOutput(const char* path);

// Creates or empties several output files, all or none: when one cannot be
// opened, the run fails and the others are left as they were (files it had
// just created are removed again). Stores the descriptors in fds.
void createOutputs(const char* const* paths, int* fds, int count);

// Buffered output to a file descriptor. Every write is checked: the first
// failure fails the run with "cannot write 'NAME': reason".
class OutputFile {
  public:
    OutputFile(int fd, const char* name, size_t capacity = size_t{1} << 20);
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
    int fd_;
    const char* name_;
    char* buf_;
    size_t cap_;
    size_t used_ = 0;
};

// Writes the decimal digits of v (at most 20) at `out`; returns their count.
size_t formatDecimal(char* out, uint64_t v);
