#include "tool.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "completion.h"
#include "files.h"
#include "numbers.h"
#include "output_file.h"
#include "progress.h"
#include "simd/kernels.h"

#ifndef TOOLS_VERSION
#error "TOOLS_VERSION must be defined by the build"
#endif

namespace {

const char* toolName = "tool";
std::vector<const char*> hintedInputs;  // see hintIgnoredOperands

// Returns true when fd was closed (and is now parked on /dev/null).
bool parkIfClosed(int fd, int flags) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) return false;
    int spare = ::open("/dev/null", flags);
    if (spare >= 0 && spare != fd) {
        dup2(spare, fd);
        ::close(spare);
    }
    return true;
}

// A long option that getopt did not take: a prefix of several options, or
// none.
[[noreturn]] void failAmbiguousOrUnknown(const char* arg, const std::vector<Option>& all) {
    if (std::strncmp(arg, "--", 2) == 0) {
        const std::string_view given(arg + 2, std::strcspn(arg + 2, "="));
        std::string candidates;
        for (const Option& o : all)
            if (std::string_view(o.name).substr(0, given.size()) == given)
                candidates += std::string(" '--") + o.name + "'";
        if (!given.empty() && candidates.find(' ', 1) != std::string::npos)
            failUsage("option '--%.*s' is ambiguous; possibilities:%s",
                      static_cast<int>(given.size()), given.data(), candidates.c_str());
    }
    failUsage("unknown option '%s'", arg);
}

// Prints the text and ends the run: --help and --version.
[[noreturn]] void printAndFinish(const char* text) {
    OutputFile out(STDOUT_FILENO, "standard output", 4096);
    out.put(text);
    out.close();
    throw Failure{0, {}};
}

void startTool(const char* name) {
    toolName = name;
    // A closed standard input or error would let a later open take its
    // descriptor (and the messages go into that file); park them on
    // /dev/null (reading "-" then fails). A closed standard output is left
    // closed so that writing to it fails as it should.
    if (parkIfClosed(STDIN_FILENO, O_RDONLY)) noteStandardInputClosed();
    parkIfClosed(STDERR_FILENO, O_WRONLY);
    std::signal(SIGPIPE, SIG_IGN);
    installCleanupHandlers();
    if (const char* problem = simd::selectFromEnvironment()) failUsage("%s", problem);
}

// Ends a run that raised `failure`; returns its status.
int endRun(const Failure& failure) {
    discardOutputs();
    clearProgress();
    if (!failure.message.empty()) {
        std::fprintf(stderr, "%s: %s\n", toolName, failure.message.c_str());
        if (failure.status == exitUsage)
            std::fprintf(stderr, "Try '%s --help' for more information.\n", toolName);
    }
    if (failure.signal) {
        std::signal(failure.signal, SIG_DFL);
        raise(failure.signal);
    }
    std::fflush(stderr);
    return failure.status;
}

}  // namespace

int runTool(const char* name, const std::function<void()>& body) {
    try {
        startTool(name);
        body();
        commitOutputs();
    } catch (const Failure& failure) {
        return endRun(failure);
    } catch (const std::bad_alloc&) {
        return endRun({exitFailure, std::strerror(ENOMEM)});
    }
    clearProgress();
    return std::fflush(stderr) != 0 || std::ferror(stderr) ? exitFailure : 0;
}

Command parseOptions(int argc, char** argv, const Option* options, size_t count,
                     const char* usage) {
    Command command;
    const char* directory = nullptr;
    const char* help = nullptr;
    const char* version = nullptr;
    const char* threads = nullptr;
    const char* quietFlag = nullptr;
    const char* shell = nullptr;
    std::vector<Option> all(options, options + count);
    all.push_back({"directory", 'C', "DIR", &directory});
    all.push_back({"threads", '@', "N", &threads});
    all.push_back({"quiet", 'q', nullptr, &quietFlag});
    all.push_back({"help", 'h', nullptr, &help});
    all.push_back({"version", 0, nullptr, &version});
    // The hidden option is known only when given by its whole name, so that
    // every other command line parses as it always did.
    bool hidden = false;
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        hidden = hidden || std::strcmp(argv[i], "--generate-completion") == 0 ||
                 std::strncmp(argv[i], "--generate-completion=", 22) == 0;
    if (hidden) all.push_back({"generate-completion", 0, "SHELL", &shell});
    std::vector<struct option> longOptions;
    std::string shortOptions = ":";  // report a missing argument as ':'
    for (size_t i = 0; i < all.size(); ++i) {
        longOptions.push_back({all[i].name, all[i].argument ? required_argument : no_argument,
                               nullptr, static_cast<int>(256 + i)});
        if (all[i].shortName) {
            shortOptions += all[i].shortName;
            if (all[i].argument) shortOptions += ':';
        }
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});
    // No option starts with a digit: "-1" is an operand (a negative number
    // that the tool may reject with a message of its own). Such arguments
    // are hidden from getopt behind a marker and put back afterwards.
    std::vector<char*> args(argv, argv + argc);
    std::vector<std::string> markers;
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (argv[i][0] == '-' && isDigit(argv[i][1])) {
            markers.push_back(std::to_string(i));
            markers.back().insert(markers.back().begin(), '\x01');
        }
    }
    for (size_t m = 0; m < markers.size(); ++m)
        args[static_cast<size_t>(std::stoi(markers[m].substr(1)))] = markers[m].data();
    opterr = 0;
    optind = 1;
    for (;;) {
        const int previous = optind;
        const int c =
            getopt_long(argc, args.data(), shortOptions.c_str(), longOptions.data(), nullptr);
        if (c == -1) break;
        if (c == '?' || c == ':') {
            const char* arg = args[static_cast<size_t>(previous < argc ? previous : argc - 1)];
            if (c == ':') failUsage("option '%s' needs an argument", arg);
            if (optopt >= 256) {
                failUsage("option '--%s' doesn't allow an argument",
                          all[static_cast<size_t>(optopt - 256)].name);
            }
            if (optopt) failUsage("unknown option '-%c'", optopt);
            failAmbiguousOrUnknown(arg, all);
        }
        const Option* chosen = nullptr;
        if (c >= 256) {
            chosen = &all[static_cast<size_t>(c - 256)];
        } else {
            for (const Option& o : all)
                if (o.shortName == c) chosen = &o;
        }
        // An option's argument may be a hidden "-<digit>" one: "-k -1".
        const char* arg = chosen->argument ? optarg : "";
        if (arg[0] == '\x01') arg = argv[std::atoi(arg + 1)];
        *chosen->value = arg;
    }
    if (help) printAndFinish(usage);
    if (shell) {
        const std::vector<Option> shown(all.begin(), all.end() - 1);  // without the hidden one
        const std::string script = completionScript(shell, toolName, shown, usage);
        if (script.empty()) failUsage("unknown shell: '%s' (bash, zsh or fish)", shell);
        printAndFinish(script.c_str());
    }
    if (version) {
        char text[256];
        std::snprintf(text, sizeof text, "%s %s\nscanning kernels: %s\n", toolName, TOOLS_VERSION,
                      simd::kernels().name);
        printAndFinish(text);
    }
    if (threads) {
        uint64_t n = 0;
        if (parseWholeArgument(threads, 1024, n) != ArgumentStatus::Ok)
            failUsage("invalid number of threads: '%s' (a whole number from 0 to 1024)", threads);
        command.threads = static_cast<int>(n);
    }
    if (directory && !*directory) failUsage("invalid directory: ''");
    command.directory = directory;
    enableProgress(toolName, !quietFlag);
    for (int i = optind; i < argc; ++i) {
        const char* arg = args[static_cast<size_t>(i)];
        command.operands.push_back(arg[0] == '\x01' ? argv[std::atoi(arg + 1)] : arg);
    }
    return command;
}

void enterDirectory(const Command& command) {
    if (command.directory && chdir(command.directory) != 0)
        fail("cannot change to directory '%s': %s", command.directory, std::strerror(errno));
}

int parseCompressLevel(const char* text) {
    if (!text) return -1;
    uint64_t n = 0;
    if (parseWholeArgument(text, 19, n) != ArgumentStatus::Ok)
        failUsage("invalid compression level: '%s' (0 to 9 for .gz, 1 to 19 for .zst)", text);
    return static_cast<int>(n);
}

void checkCompressLevel(const char* const* outputs, size_t count, int level) {
    if (level < 0) return;
    bool compressed = false;
    for (size_t i = 0; i < count; ++i) {
        if (!compressedName(outputs[i])) continue;
        compressed = true;
        if (const char* problem = compressLevelProblem(outputs[i], level))
            failUsage("invalid compression level %d for '%s': %s", level, outputs[i], problem);
    }
    if (!compressed)
        failUsage("--compress-level=%d: no output is compressed (named *.gz or *.zst)", level);
}

void checkOneStandard(const char* const* paths, size_t count, const char* what) {
    size_t dashes = 0;
    for (size_t i = 0; i < count; ++i) dashes += std::strcmp(paths[i], "-") == 0;
    if (dashes > 1) failUsage("only one %s can be '-'", what);
}

void hintIgnoredOperands(const Command& command, size_t used,
                         std::initializer_list<const char*> defaults) {
    if (command.operands.size() > used)
        for (const char* path : defaults)
            if (path) hintedInputs.push_back(path);
}

std::unique_ptr<ByteSource> openInputSource(const char* path, const char* option, int threads) {
    std::string problem;
    int fd;
    try {
        fd = openInput(path);
    } catch (Failure& failure) {
        if (std::find(hintedInputs.begin(), hintedInputs.end(), path) != hintedInputs.end())
            failure.message +=
                std::string(" (file operands are ignored; name the input with ") + option + ")";
        throw;
    }
    const std::string pipeReader =
        std::string(toolName) + " " + option + (std::strncmp(option, "--", 2) == 0 ? "=-" : " -");
    auto source = openSource(fd, inputName(path), threads, &problem, pipeReader.c_str());
    if (!source) fail("%s", problem.c_str());
    return withProgress(std::move(source), fd);
}
