// In-memory files for tests and fuzz targets.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

// A file descriptor reading `content` from its start, in memory. Slot
// 0, 1, ... picks one of a few memory files that are made once and reused,
// which keeps system calls, the bulk of a fuzz run's cost, down.
inline int memoryFile(const std::string& content, int slot = 0) {
    static int fds[4] = {-1, -1, -1, -1};
    int& fd = fds[slot];
    if (fd < 0) fd = memfd_create("memory", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0 ||
        pwrite(fd, content.data(), content.size(), 0) != static_cast<ssize_t>(content.size()))
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
