// What the fuzz targets share: in-memory files and failures as exceptions.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "tool.h"

// A file descriptor reading `content` from its start, in memory. Slot
// 0, 1, ... picks one of a few memory files that are made once and reused,
// which keeps system calls, the bulk of a run's cost, down.
inline int memoryFile(const std::string& content, int slot = 0) {
    static int fds[4] = {-1, -1, -1, -1};
    int& fd = fds[slot];
    if (fd < 0) fd = memfd_create("fuzz", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0 ||
        pwrite(fd, content.data(), content.size(), 0) != static_cast<ssize_t>(content.size()))
        std::abort();
    lseek(fd, 0, SEEK_SET);
    return fd;
}

// Sizes for reader buffers: mostly large enough to take a whole input in
// one read, sometimes tiny, to reach the refill and growth paths.
inline size_t bufferSizeFor(uint8_t choice) {
    return choice < 96 ? size_t{16} << (choice % 8) : 65536;
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
