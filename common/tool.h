// The frame every tool shares: its name in messages, the command line
// (options, --help and --version) and the run that catches its failure.
//
// Messages go to standard error as "TOOL: cannot open 'FILE': reason" or
// "TOOL: FILE:LINE: what is wrong". Exit statuses: 0 success, 1 a failed
// run, 2 a usage error.
#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

#include "failure.h"
#include "source.h"

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
#define COMMON_OPTIONS_HELP                                                    \
    COMMON_OPTIONS_HELP_WITH(                                                  \
        "  -@, --threads=N       extra threads for decoding, compression and " \
        "record\n                        work (default: 0)\n")
// The same, with the tool's own line for -@.
#define COMMON_OPTIONS_HELP_WITH(threadsHelp)                                     \
    "  -C, --directory=DIR   change to DIR before opening any file\n" threadsHelp \
    "  -q, --quiet           no progress line on a terminal\n"                    \
    "  -h, --help            show this help and exit\n"                           \
    "      --version         show the version and exit\n"

// A command-line option of a tool.
struct Option {
    const char* name;               // the long name
    char shortName;                 // 0 for none
    const char* argument;           // the argument's name, such as "FILE"; null for a flag
    const char** value;             // receives the argument, or "" for a flag
    const char* choices = nullptr;  // the values it takes, separated by spaces, if listed
};

// What the command line gives besides the tool's own options.
struct Command {
    std::vector<const char*> operands;  // in order
    int threads = 0;                    // -@: extra threads for decoding, compression and records
    const char* directory = nullptr;    // -C
};

// Parses the command line GNU style: short and long options, --opt=value
// and --opt value, "--" ends the options, and options may stand among the
// operands. Besides the tool's options it takes --help and --version (which
// print `usage` or the version and end the run), the hidden
// --generate-completion=SHELL (which prints the tool's completion script for
// bash, zsh or fish and ends the run), -C/--directory,
// -@/--threads and -q/--quiet. An unknown option or a bad value is a usage
// error.
Command parseOptions(int argc, char** argv, const Option* options, size_t count, const char* usage);

// Changes into the directory of -C, if any: done after the options are
// known good and before any file is opened.
void enterDirectory(const Command& command);

// The compression level of .gz and .zst outputs from the argument of
// --compress-level (a whole number, checked against the outputs' formats by
// checkCompressLevel); -1, the format's default, for none. A usage error if
// it is not one.
int parseCompressLevel(const char* text);

// A usage error when a level is given and no output of the run is
// compressed, or when the level does not suit one that is.
void checkCompressLevel(const char* const* outputs, size_t count, int level);

// A usage error unless at most one of the paths is "-".
void checkOneStandard(const char* const* paths, size_t count, const char* what);

// File operands are ignored: when a tool was given more operands than its
// first `used`, an input among `defaults` (the paths, as pointers, that no
// option replaced; null entries are skipped) that cannot be opened fails
// with a hint to name it with its option.
void hintIgnoredOperands(const Command& command, size_t used,
                         std::initializer_list<const char*> defaults);

// Opens an input ("-" is standard input) as a byte source, decoded on
// `threads` extra threads; a file that cannot be opened, compressed data
// that cannot be decoded from its start, a compressed format not read, and
// binary data, fail the run. `option` is the option that names the input
// ("-i", "--case"), for the hint to read a format not read through a pipe.
std::unique_ptr<ByteSource> openInputSource(const char* path, const char* option, int threads);
