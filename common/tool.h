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
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "byte_sink.h"
#include "failure.h"
#include "files.h"
#include "lines.h"

// The frame of a tool's run, the one place where a run ends: sets the name
// used in messages, makes a broken pipe a write error (see OutputFile),
// installs the handlers that remove unfinished outputs on the caught
// signals, and picks the scanning kernels (a KMERTOOLS_SIMD the CPU cannot
// run is a usage error); then runs `body`. When it returns, the outputs
// are put in place together (commitOutputs) and the status is 0, or 1 when
// standard error could not be written (checked once at the end, as
// coreutils does). A Failure raised anywhere below is caught here: the
// outputs are discarded, its message printed (with a hint to --help for a
// usage error), and its status returned, or the process ends by its signal.
int runTool(const char* name, const std::function<void()>& body);

// The --help lines of the options every tool takes, for a tool whose own
// options fit the same columns.
#define COMMON_OPTIONS_HELP                                                        \
    "  -C, --directory=DIR   change to DIR before opening any file\n"              \
    "  -@, --threads=N       extra threads for decoding, compression and record\n" \
    "                        work (default: 0)\n"                                  \
    "  -q, --quiet           no progress line on a terminal\n"                     \
    "  -h, --help            show this help and exit\n"                            \
    "      --version         show the version and exit\n"

// A command-line option of a tool.
struct Option {
    const char* name;      // the long name
    char shortName;        // 0 for none
    const char* argument;  // the argument's name, such as "FILE"; null for a flag
    const char** value;    // receives the argument, or "" for a flag
};

// Parses the command line GNU style: short and long options, --opt=value
// and --opt value, "--" ends the options, and options may stand among the
// operands. Besides the tool's options it takes --help and --version (which
// print `usage` or the version and exit), -C/--directory, -@/--threads and
// -q/--quiet. An unknown option or a bad value is a usage error. Returns
// the operands in order.
std::vector<const char*> parseOptions(int argc, char** argv, const Option* options, size_t count,
                                      const char* usage);

// Changes into the directory of -C, if any: done after the options are
// known good and before any file is opened.
void enterDirectory();

// Extra threads for decoding, compression and record work (-@); 0 by default.
int extraThreads();

// Sets the compression level of .gz and .zst outputs from the argument of
// --compress-level (a whole number, checked against the outputs' formats by
// checkCompressLevel); a usage error if it is not one.
void setCompressLevel(const char* text);

// After setCompressLevel: a usage error when no output of the run is
// compressed, or when the level does not suit one that is.
void checkCompressLevel(const char* const* outputs, size_t count);

// How files are named in messages: "-" is "standard input" or "standard
// output".
const char* inputName(const char* path);
const char* outputName(const char* path);

// A usage error unless at most one of the paths is "-".
void checkOneStandard(const char* const* paths, size_t count, const char* what);

// How much of a field to quote in a message: at most `limit` characters.
inline int shown(size_t length, int limit = 40) {
    return length < static_cast<size_t>(limit) ? static_cast<int>(length) : limit;
}

// Opens an input ("-" is standard input) as a byte source; a file that
// cannot be opened, compressed data that cannot be decoded from its start,
// a compressed format not read, and binary data, fail the run. `option` is
// the option that names the input ("-i", "--case"), for the hint to read a
// format not read through a pipe.
std::unique_ptr<ByteSource> openInputSource(const char* path, const char* option);

// Fails the run after a failed read: "cannot read 'NAME': reason", or
// what is wrong with the data.
[[noreturn]] void failRead(const LineReader& reader, const char* name);
[[noreturn]] void failSource(const ByteSource& source, const char* name, int error);

// "line longer than 256 MiB", for a reader that stopped at such a line.
std::string lineTooLong(const LineReader& reader);

// To be called before a record error at the reader's current line is
// reported: when the data came through a decompressor and the rest of its
// member or frame is damaged, fails the run with that damage instead.
void failIfDamaged(LineReader& reader, const char* name);
// The same for a record error whose line ends `offset` bytes into `source`.
void failIfDamagedAt(ByteSource& source, uint64_t offset, const char* name);

// Buffered output to a file descriptor, compressed when `path` (if given)
// names a compressed file (see openSink). Every write is checked: the
// first failure fails the run with "cannot write 'NAME': reason", except a
// broken pipe on standard output, which ends the run quietly by SIGPIPE as
// other filters do (a Failure carrying the signal).
class OutputFile {
  public:
    OutputFile(int fd, const char* name, size_t capacity = size_t{1} << 20,
               const char* path = nullptr);
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
    std::unique_ptr<ByteSink> sink_;
    char* buf_;
    size_t cap_;
    size_t used_ = 0;
};

// Writes the decimal digits of v (at most 20) at `out`; returns their count.
size_t formatDecimal(char* out, uint64_t v);
