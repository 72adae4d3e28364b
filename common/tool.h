// The frame every tool shares: its name in messages, the command line
// (one typed option table per tool, from which the parsing, the --help
// option lines and the shell completions are all made) and the run that
// catches its failure.
//
// Messages go to standard error as "TOOL: cannot open 'FILE': reason" or
// "TOOL: FILE:LINE: what is wrong". Exit statuses: 0 success, 1 a failed
// run, 2 a usage error.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "failure.h"
#include "files.h"
#include "output_set.h"
#include "source.h"

class TaskPool;

// The frame of a tool's run, the one place where a run ends: sets the name
// used in messages, makes a broken pipe a write error (see OutputFile),
// installs the handlers that remove unfinished outputs on the caught
// signals, and picks the scanning kernels (a KMERTOOLS_SIMD the CPU cannot
// run is a usage error); then runs `body` with the run's outputs, which it
// commits. The status is then 0, or 1 when standard error could not be
// written (checked once at the end, as coreutils does). A Failure raised
// anywhere below is caught here, and so is any other exception (an
// internal error): the outputs are discarded, its message printed (with a
// hint to --help for a usage error), and its status returned, or the
// process ends by its signal.
int runTool(const char* name, const std::function<void(OutputSet&)>& body);

// What an option's argument is, for the shell completions.
enum class Value { None, File, Directory, Choice, Other };

// A value an option takes from a list, and what it means.
struct Choice {
    const char* name;
    const char* description;
};

// A command-line option of a tool: one row of its table.
struct Option {
    const char* name;    // the long name
    char shortName = 0;  // 0 for none
    const char* argument =
        nullptr;  // the argument's name in --help, such as "FILE"; null for a flag
    // Its --help text: each '\n' starts a line in the description column.
    const char* help = "";
    // Takes the argument ("" for a flag) of its last use on the command
    // line, once the whole line is read; a bad value is a usage error.
    std::function<void(const char*)> parse = nullptr;
    // Its description in the shell completions, which stands on its own.
    const char* brief = "";
    std::vector<Choice> choices = {};
    // Whether each use counts (parse takes them all, in order), rather
    // than the last.
    bool every = false;
    Value value() const;
    bool given = false;  // set when it is on the command line
};

// The --help text of a tool: `intro` (the usage line and what the tool
// does), the option lines made from its table, the common options, then
// `outro`. Option texts start in `column`, or two spaces after a longer
// name; `threads` is the tool's text for -@. `inputs` says how its inputs
// are named, for the warning that file operands are ignored ("the input
// with -i").
struct Help {
    const char* intro;
    int column;
    const char* threads;
    const char* outro;
    const char* inputs;
};

// Prints "TOOL: warning: ..." on standard error, unless -q was given: a
// run that succeeds may say where a user may have slipped.
void warn(const char* format, ...) __attribute__((format(printf, 1, 2)));

// What the command line gives besides the tool's own options.
struct Command {
    std::vector<const char*> operands;  // in order
    int threads = 0;                    // -@: extra threads for the run
    const char* directory = nullptr;    // -C
};

// Parses the command line GNU style: short and long options (a long one by
// any unambiguous prefix), --opt=value and --opt value, "--" ends the
// options, options may stand among the operands, and an argument such as
// "-1" is an operand (no option starts with a digit). Besides the tool's
// options it takes --help and --version (which print the help or the
// version and end the run), the hidden --generate-completion=SHELL (which
// prints the tool's completion script for bash, zsh or fish and ends the
// run), -C/--directory, -@/--threads and -q/--quiet; then each option given
// parses its argument. An unknown option or a bad value is a usage error.
// The tool uses its first `operandsUsed` operands; when it was given more,
// a warning says that they are ignored, and an input whose option was not
// given that cannot be opened says so too.
Command parseOptions(int argc, char** argv, std::vector<Option>& options, const Help& help,
                     size_t operandsUsed = 0);

// The --help text of the options.
std::string helpText(const std::vector<Option>& options, const Help& help);

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

// Whether any of the outputs is written as zstd.
bool anyZstd(const std::vector<const char*>& outputs);

// Opens an input ("-" is standard input) as a byte source, decoded on the
// pool's threads; a file that cannot be opened, compressed data that
// cannot be decoded from its start, a compressed format not read, and
// binary data, fail the run. `option` names the input ("-i", "--case"),
// for the hint to read a format not read through a pipe, and for the hint
// that file operands are ignored. When `info` is given, it receives the
// input's fstat.
std::unique_ptr<ByteSource> openInputSource(const char* path, const Option& option, TaskPool& pool,
                                            struct stat* info = nullptr);

// How an option is written in messages: "-i", or "--case" when it has no
// short name.
std::string optionName(const Option& option);
