#include "tool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "simd/kernels.h"

#ifndef TOOLS_VERSION
#error "TOOLS_VERSION must be defined by the build"
#endif

namespace {

const char* toolName = "tool";
FailureHook failureHook = nullptr;

void vreport(const char* format, va_list args) {
    std::fprintf(stderr, "%s: ", toolName);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
}

// Writes all of `data` to fd, retrying after interruptions and short writes.
// Returns 0 or the errno of the failure.
int writeAll(int fd, const char* data, size_t n) {
    while (n > 0) {
        ssize_t done = ::write(fd, data, n);
        if (done < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        data += done;
        n -= static_cast<size_t>(done);
    }
    return 0;
}

void parkIfClosed(int fd, int flags) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) return;
    int spare = ::open("/dev/null", flags);
    if (spare >= 0 && spare != fd) {
        dup2(spare, fd);
        ::close(spare);
    }
}

void printAndExit(const char* text) {
    OutputFile out(STDOUT_FILENO, "standard output", 4096);
    out.put(text);
    out.close();
    std::exit(0);
}

}  // namespace

void report(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vreport(format, args);
    va_end(args);
}

void setFailureHook(FailureHook hook) {
    failureHook = hook;
}

void fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (failureHook) {
        char message[512];
        std::vsnprintf(message, sizeof message, format, args);
        va_end(args);
        failureHook(message);
        std::abort();  // a hook must not return
    }
    vreport(format, args);
    va_end(args);
    std::exit(exitFailure);
}

void failUsage(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vreport(format, args);
    va_end(args);
    std::fprintf(stderr, "Try '%s --help' for more information.\n", toolName);
    std::exit(exitUsage);
}

void startTool(const char* name, int argc, char** argv, const char* usage) {
    toolName = name;
    // A closed standard input or error would let a later open take its
    // descriptor (and the messages go into that file); park them on
    // /dev/null. A closed standard output is left closed so that writing to
    // it fails as it should.
    parkIfClosed(STDIN_FILENO, O_RDONLY);
    parkIfClosed(STDERR_FILENO, O_WRONLY);
    std::signal(SIGPIPE, SIG_IGN);
    if (const char* problem = simd::selectFromEnvironment()) failUsage("%s", problem);
    if (argc > 1) {
        if (std::strcmp(argv[1], "--help") == 0) printAndExit(usage);
        if (std::strcmp(argv[1], "--version") == 0) {
            char text[256];
            std::snprintf(text, sizeof text, "%s %s\nscanning kernels: %s\n", name, TOOLS_VERSION,
                          simd::kernels().name);
            printAndExit(text);
        }
    }
}

int finishTool() {
    return std::fflush(stderr) != 0 || std::ferror(stderr) ? exitFailure : 0;
}

int openInput(const char* path) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail("cannot open '%s': %s", path, std::strerror(errno));
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode))
        fail("cannot open '%s': %s", path, std::strerror(EISDIR));
    return fd;
}

int createOutput(const char* path) {
    int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) fail("cannot open '%s': %s", path, std::strerror(errno));
    return fd;
}

void createOutputs(const char* const* paths, int* fds, int count) {
    bool created[8] = {};
    if (count > 8) std::abort();
    for (int i = 0; i < count; ++i) {
        // Opened without truncating first, so that nothing changes until
        // every file is known to be writable.
        fds[i] = ::open(paths[i], O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        created[i] = fds[i] >= 0;
        if (fds[i] < 0 && errno == EEXIST) fds[i] = ::open(paths[i], O_WRONLY | O_CLOEXEC);
        if (fds[i] < 0) {
            const int err = errno;
            for (int j = 0; j < i; ++j) {
                ::close(fds[j]);
                if (created[j]) ::unlink(paths[j]);
            }
            fail("cannot open '%s': %s", paths[i], std::strerror(err));
        }
    }
    for (int i = 0; i < count; ++i) {
        struct stat info;
        if (fstat(fds[i], &info) == 0 && S_ISREG(info.st_mode) && ftruncate(fds[i], 0) != 0)
            fail("cannot write '%s': %s", paths[i], std::strerror(errno));
    }
}

OutputFile::OutputFile(int fd, const char* name, size_t capacity)
    : fd_(fd), name_(name), buf_(static_cast<char*>(std::malloc(capacity))), cap_(capacity) {
    if (!buf_) fail("cannot write '%s': %s", name_, std::strerror(ENOMEM));
}

OutputFile::~OutputFile() {
    std::free(buf_);
}

void OutputFile::write(const char* data, size_t n) {
    if (cap_ - used_ >= n) {
        std::memcpy(buf_ + used_, data, n);
        used_ += n;
        return;
    }
    flush();
    if (n >= cap_) {
        if (int err = writeAll(fd_, data, n))
            fail("cannot write '%s': %s", name_, std::strerror(err));
        return;
    }
    std::memcpy(buf_, data, n);
    used_ = n;
}

void OutputFile::flush() {
    if (used_ == 0) return;
    if (int err = writeAll(fd_, buf_, used_))
        fail("cannot write '%s': %s", name_, std::strerror(err));
    used_ = 0;
}

void OutputFile::close() {
    flush();
    if (fd_ >= 0 && ::close(fd_) != 0 && errno != EINTR)
        fail("cannot write '%s': %s", name_, std::strerror(errno));
    fd_ = -1;
}

size_t formatDecimal(char* out, uint64_t v) {
    char digits[20];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    for (size_t i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
    return n;
}
