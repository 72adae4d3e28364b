#include "progress.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <utility>

namespace {

constexpr double delay = 2.0;     // seconds before the first line
constexpr double interval = 0.5;  // seconds between updates

struct Progress {
    const char* name = "";
    bool enabled = false;
    bool shown = false;
    bool sizeKnown = true;
    uint64_t size = 0;  // of the distinct inputs opened so far
    uint64_t read = 0;  // in the current pass
    int pass = 1;       // how often the input opened most often was opened
    std::map<std::pair<dev_t, ino_t>, int> openings;  // of each regular file
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
    std::fprintf(stderr, "\r%s: ", progress.name);
    if (progress.pass > 1) std::fprintf(stderr, "pass %d: ", progress.pass);
    std::fprintf(stderr, "%.1f MB read", mb);
    if (progress.sizeKnown && progress.size > 0)
        std::fprintf(
            stderr, " (%.0f%%)",
            100.0 * static_cast<double>(progress.read) / static_cast<double>(progress.size));
    std::fprintf(stderr, ", %.1f MB/s\033[K", mb / elapsed);
    std::fflush(stderr);
}

// Counts the bytes a source takes from its file, towards the pass it was
// opened in.
class ProgressSource : public WrappingSource {
  public:
    ProgressSource(std::unique_ptr<ByteSource> inner, int pass)
        : WrappingSource(std::move(inner)), pass_(pass) {}
    ssize_t read(char* dst, size_t n) override {
        const ssize_t got = inner_->read(dst, n);
        if (got < 0) return failLike(*inner_);
        count(inner_->consumed() - consumed_);
        consumed_ = inner_->consumed();
        return got;
    }
    void tookRanges(uint64_t bytes) override {
        WrappingSource::tookRanges(bytes);
        count(bytes);
    }

  private:
    void count(uint64_t bytes) {
        if (pass_ == progress.pass) progress.read += bytes;
        update();
    }
    int pass_;
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
    int opening = 1;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        opening = ++progress.openings[{info.st_dev, info.st_ino}];
        if (opening == 1) progress.size += static_cast<uint64_t>(info.st_size);
    } else {
        progress.sizeKnown = false;
    }
    // An input read again starts the next pass over the inputs.
    if (opening > progress.pass) progress.pass = opening, progress.read = 0;
    return std::make_unique<ProgressSource>(std::move(source), opening);
}

void clearProgress() {
    if (!progress.shown) return;
    progress.shown = false;
    std::fputs("\r\033[K", stderr);
}
