#include "failure.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

std::string formatted(const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, again);
    va_end(again);
    std::string message(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    std::vsnprintf(message.data(), message.size() + 1, format, args);
    return message;
}

}  // namespace

void fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Failure failure{exitFailure, formatted(format, args)};
    va_end(args);
    throw failure;
}

void failUsage(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Failure failure{exitUsage, formatted(format, args)};
    va_end(args);
    throw failure;
}

const char* inputName(const char* path) {
    return std::strcmp(path, "-") == 0 ? "standard input" : path;
}

const char* outputName(const char* path) {
    return std::strcmp(path, "-") == 0 ? "standard output" : path;
}
