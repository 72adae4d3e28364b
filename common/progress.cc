#include "progress.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

namespace {

constexpr double delay = 2.0;     // seconds before the first line
constexpr double interval = 0.5;  // seconds between updates

struct Progress {
    const char* name = "";
    bool enabled = false;
    bool shown = false;
    bool sizeKnown = true;
    uint64_t size = 0;  // of the inputs counted so far
    uint64_t read = 0;
    double start = 0;
    double last = 0;
} progress;

double now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void update() {
    const double t = now();
    const double elapsed = t - progress.start;
    if (elapsed < delay || t - progress.last < interval) return;
    progress.last = t;
    progress.shown = true;
    const double mb = static_cast<double>(progress.read) / 1e6;
    std::fprintf(stderr, "\r%s: %.1f MB read", progress.name, mb);
    if (progress.sizeKnown && progress.size > 0)
        std::fprintf(
            stderr, " (%.0f%%)",
            100.0 * static_cast<double>(progress.read) / static_cast<double>(progress.size));
    std::fprintf(stderr, ", %.1f MB/s\033[K", mb / elapsed);
    std::fflush(stderr);
}

// Counts the bytes a source takes from its file.
class ProgressSource : public WrappingSource {
  public:
    explicit ProgressSource(std::unique_ptr<ByteSource> inner) : WrappingSource(std::move(inner)) {}
    ssize_t read(char* dst, size_t n) override {
        const ssize_t got = inner_->read(dst, n);
        if (got < 0) return failLike(*inner_);
        progress.read += inner_->consumed() - consumed_;
        consumed_ = inner_->consumed();
        update();
        return got;
    }
    void tookRanges(uint64_t bytes) override {
        WrappingSource::tookRanges(bytes);
        progress.read += bytes;
        update();
    }
};

}  // namespace

void enableProgress(const char* name, bool on) {
    progress.name = name;
    progress.enabled = on && isatty(STDERR_FILENO);
    progress.start = progress.last = now();
}

std::unique_ptr<ByteSource> withProgress(std::unique_ptr<ByteSource> source, int fd) {
    if (!progress.enabled) return source;
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
        progress.size += static_cast<uint64_t>(info.st_size);
    else
        progress.sizeKnown = false;
    return std::make_unique<ProgressSource>(std::move(source));
}

void clearProgress() {
    if (!progress.shown) return;
    progress.shown = false;
    std::fputs("\r\033[K", stderr);
}
