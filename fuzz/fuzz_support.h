// What the fuzz targets share: in-memory files and failures as exceptions.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "tool.h"

// A file descriptor reading `content` from its start, in memory.
inline int memoryFile(const std::string& content) {
    int fd = memfd_create("fuzz", 0);
    if (fd < 0 || write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        std::abort();
    lseek(fd, 0, SEEK_SET);
    return fd;
}

// Everything written to the memory file so far.
inline std::string contents(int fd) {
    std::string all(static_cast<size_t>(lseek(fd, 0, SEEK_END)), '\0');
    if (pread(fd, all.data(), all.size(), 0) != static_cast<ssize_t>(all.size())) std::abort();
    return all;
}

// A run that fail()s throws this instead of exiting.
struct Failure {
    std::string message;
};

inline void throwFailures() {
    setFailureHook([](const char* message) { throw Failure{message}; });
}

// Dies with a message when a checked property does not hold.
#define CHECK(condition)                                                                       \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)
