// How a run fails, and how its messages name files: code at any depth raises a Failure, a status
// and a message, and the tool's frame (runTool in tool.h) is the one place that catches it,
// discards the outputs, prints the message and exits. Nothing below the frame ends the process.
#pragma once

#include <cstddef>
#include <string>

struct Failure {
    int status;           // 1 a failed run, 2 a usage error, 0 a run that is done (--help)
    std::string message;  // without the tool's name; empty for none
    int signal = 0;       // when not 0, the run ends killed by this signal, quietly
};

inline constexpr int exitFailure = 1;
inline constexpr int exitUsage = 2;

// Raise a Failure of status 1 or 2 with a printf-style message.
[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void failUsage(const char* format, ...) __attribute__((format(printf, 1, 2)));

// How files are named in messages: "-" is "standard input" or "standard
// output".
const char* inputName(const char* path);
const char* outputName(const char* path);

// How much of a field to quote in a message: at most `limit` characters.
inline int shown(size_t length, int limit = 40) {
    return length < static_cast<size_t>(limit) ? static_cast<int>(length) : limit;
}
