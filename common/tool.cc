#include "tool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include "completion.h"
#include "files.h"
#include "numbers.h"
#include "output_file.h"
#include "progress.h"
#include "simd/kernels.h"
#include "sink.h"

#ifndef TOOLS_VERSION
#error "TOOLS_VERSION must be defined by the build"
#endif

namespace {

const char* toolName = "tool";
bool operandsIgnored = false;  // see parseOptions
bool quietRun = false;         // -q: no progress line, no warning

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

// Prints the text and ends the run: --help and --version.
[[noreturn]] void printAndFinish(const std::string& text) {
    OutputFile out(STDOUT_FILENO, "standard output", 4096);
    out.write(text.data(), text.size());
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
int endRun(OutputSet& outputs, const Failure& failure) {
    outputs.discard();
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

// The table's option that a word of the command line names, by its long
// name or a prefix of it; a usage error when there is none or several.
Option& longOption(std::vector<Option>& all, std::string_view given, const char* word) {
    for (Option& o : all)
        if (given == o.name) return o;
    Option* found = nullptr;
    std::string candidates;
    int count = 0;
    for (Option& o : all) {
        if (std::string_view(o.name).substr(0, given.size()) != given) continue;
        found = &o;
        ++count;
        candidates += std::string(" '--") + o.name + "'";
    }
    if (!given.empty() && count == 1) return *found;
    if (!given.empty() && count > 1)
        failUsage("option '--%.*s' is ambiguous; possibilities:%s", static_cast<int>(given.size()),
                  given.data(), candidates.c_str());
    failUsage("unknown option '%s'", word);
}

// Reads the words of the command line: the options into their table rows
// (the argument of the last use kept in `values`) and the operands.
void scan(int argc, char** argv, std::vector<Option>& all,
          std::vector<std::vector<const char*>>& values, std::vector<const char*>& operands) {
    const auto take = [&](Option& o, const char* value) {
        o.given = true;
        auto& uses = values[static_cast<size_t>(&o - all.data())];
        if (!o.every) uses.clear();
        uses.push_back(value);
    };
    int i = 1;
    for (; i < argc; ++i) {
        const char* word = argv[i];
        if (std::strcmp(word, "--") == 0) {
            ++i;
            break;
        }
        if (word[0] != '-' || word[1] == '\0' || isDigit(word[1])) {
            operands.push_back(word);
            continue;
        }
        if (word[1] == '-') {
            const char* equals = std::strchr(word + 2, '=');
            const std::string_view given(
                word + 2, equals ? static_cast<size_t>(equals - word - 2) : std::strlen(word + 2));
            Option& o = longOption(all, given, word);
            if (!o.argument && equals) failUsage("option '--%s' doesn't allow an argument", o.name);
            if (!o.argument) {
                take(o, "");
            } else if (equals) {
                take(o, equals + 1);
            } else {
                if (i + 1 == argc) failUsage("option '%s' needs an argument", word);
                take(o, argv[++i]);
            }
            continue;
        }
        // A cluster of short options; one that takes an argument takes the
        // rest of the word, or the next word.
        for (const char* c = word + 1; *c; ++c) {
            const auto o = std::find_if(all.begin(), all.end(),
                                        [&](const Option& x) { return x.shortName == *c; });
            if (o == all.end()) failUsage("unknown option '-%c'", *c);
            if (!o->argument) {
                take(*o, "");
                continue;
            }
            if (c[1]) {
                take(*o, c + 1);
            } else {
                if (i + 1 == argc) failUsage("option '%s' needs an argument", word);
                take(*o, argv[++i]);
            }
            break;
        }
    }
    for (; i < argc; ++i) operands.push_back(argv[i]);
}

}  // namespace

int runTool(const char* name, const std::function<void(OutputSet&)>& body) {
    OutputSet outputs;
    try {
        startTool(name);
        body(outputs);
    } catch (const Failure& failure) {
        return endRun(outputs, failure);
    } catch (const std::bad_alloc&) {
        return endRun(outputs, {exitFailure, std::strerror(ENOMEM)});
    } catch (const std::exception& e) {
        return endRun(outputs, {exitFailure, std::string("internal error: ") + e.what()});
    }
    clearProgress();
    return std::fflush(stderr) != 0 || std::ferror(stderr) ? exitFailure : 0;
}

void warn(const char* format, ...) {
    if (quietRun) return;
    clearProgress();
    va_list args;
    va_start(args, format);
    std::fprintf(stderr, "%s: warning: ", toolName);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

Value Option::value() const {
    if (!argument) return Value::None;
    if (!choices.empty()) return Value::Choice;
    if (std::strcmp(argument, "FILE") == 0) return Value::File;
    if (std::strcmp(argument, "DIR") == 0) return Value::Directory;
    return Value::Other;
}

std::string optionName(const Option& option) {
    return option.shortName ? std::string("-") + option.shortName : std::string("--") + option.name;
}

std::string helpText(const std::vector<Option>& options, const Help& help) {
    std::string text = help.intro;
    const size_t column = static_cast<size_t>(help.column);
    for (const Option& o : options) {
        if (!*o.help) continue;  // hidden
        std::string line = o.shortName ? std::string("  -") + o.shortName + ", " : "      ";
        line += std::string("--") + o.name + (o.argument ? std::string("=") + o.argument : "");
        line.append(line.size() + 2 <= column ? column - line.size() : 2, ' ');
        for (const char* p = o.help; *p;) {
            const char* end = std::strchr(p, '\n');
            if (!end) end = p + std::strlen(p);
            if (p != o.help) line.append(column, ' ');
            line.append(p, end).push_back('\n');
            p = *end ? end + 1 : end;
        }
        text += line;
    }
    return text + help.outro;
}

Command parseOptions(int argc, char** argv, std::vector<Option>& options, const Help& help,
                     size_t operandsUsed) {
    Command command;
    const char *directory = nullptr, *threads = nullptr, *shell = nullptr;
    bool quiet = false, showHelp = false, showVersion = false;
    std::vector<Option> all = options;
    all.push_back({.name = "directory",
                   .shortName = 'C',
                   .argument = "DIR",
                   .help = "change to DIR before opening any file",
                   .parse = [&](const char* a) { directory = a; },
                   .brief = "change to DIR before opening any file"});
    all.push_back({.name = "threads",
                   .shortName = '@',
                   .argument = "N",
                   .help = help.threads,
                   .parse = [&](const char* a) { threads = a; }});
    all.push_back({.name = "quiet",
                   .shortName = 'q',
                   .help = "no progress line on a terminal, and no warnings",
                   .parse = [&](const char*) { quiet = true; },
                   .brief = "no progress line on a terminal, and no warnings"});
    all.push_back({.name = "help",
                   .shortName = 'h',
                   .help = "show this help and exit",
                   .parse = [&](const char*) { showHelp = true; },
                   .brief = "show this help and exit"});
    all.push_back({.name = "version",
                   .help = "show the version and exit",
                   .parse = [&](const char*) { showVersion = true; },
                   .brief = "show the version and exit"});
    // The first phrase of -@'s help describes it in the completions.
    std::string threadsBrief = help.threads;
    std::replace(threadsBrief.begin(), threadsBrief.end(), '\n', ' ');
    threadsBrief.resize(std::min(threadsBrief.find(" ("), threadsBrief.size()));
    all[options.size() + 1].brief = threadsBrief.c_str();
    // The hidden option is known only when given by its whole name, so that
    // every other command line parses as it always did.
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (std::strcmp(argv[i], "--generate-completion") == 0 ||
            std::strncmp(argv[i], "--generate-completion=", 22) == 0) {
            all.push_back({.name = "generate-completion",
                           .argument = "SHELL",
                           .parse = [&](const char* a) { shell = a; }});
            break;
        }
    std::vector<std::vector<const char*>> values(all.size());  // within argv
    scan(argc, argv, all, values, command.operands);
    for (size_t i = 0; i < all.size(); ++i) {
        const bool common = i >= options.size();
        if (common && all[i].given) all[i].parse(values[i].back());
        if (!common) options[i].given = all[i].given;
    }
    if (showHelp) printAndFinish(helpText(all, help));
    if (shell) {
        const std::vector<Option> shown(all.begin(), all.begin() + options.size() + 5);
        const std::string script = completionScript(shell, toolName, shown);
        if (script.empty()) failUsage("unknown shell: '%s' (bash, zsh or fish)", shell);
        printAndFinish(script);
    }
    if (showVersion) {
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
    enableProgress(toolName, !quiet);
    quietRun = quiet;
    operandsIgnored = command.operands.size() > operandsUsed;
    if (operandsIgnored) warn("file operands are ignored (name %s)", help.inputs);
    for (size_t i = 0; i < options.size(); ++i)
        if (options[i].given && options[i].parse)
            for (const char* value : values[i]) options[i].parse(value);
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

bool anyZstd(const std::vector<const char*>& outputs) {
    return std::any_of(outputs.begin(), outputs.end(), [](const char* p) { return zstdName(p); });
}

std::unique_ptr<ByteSource> openInputSource(const char* path, const Option& option, TaskPool& pool,
                                            struct stat* info) {
    const std::string name = optionName(option);
    std::string problem;
    int fd;
    try {
        fd = openInput(path);
    } catch (Failure& failure) {
        // Unless the warning said so already.
        if (operandsIgnored && !option.given && quietRun)
            failure.message += " (file operands are ignored; name the input with " + name + ")";
        throw;
    }
    if (info && fstat(fd, info) != 0) *info = {};
    const std::string pipeReader =
        std::string(toolName) + " " + name + (option.shortName ? " -" : "=-");
    auto source = openSource(fd, inputName(path), pool, &problem, pipeReader.c_str());
    if (!source) fail("%s", problem.c_str());
    return withProgress(std::move(source), fd);
}
