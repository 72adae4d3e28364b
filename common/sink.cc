#include "sink.h"

#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "bgzf.h"
#include "task_pool.h"

int writeAll(int fd, const char* data, size_t n) {
    while (n > 0) {
        const ssize_t done = ::write(fd, data, n);
        if (done < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        data += done;
        n -= static_cast<size_t>(done);
    }
    return 0;
}

namespace {

class PlainSink : public ByteSink {
  public:
    explicit PlainSink(int fd) : fd_(fd) {}
    int write(const char* data, size_t n) override { return writeAll(fd_, data, n); }
    int finish() override { return 0; }

  private:
    int fd_;
};

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

}  // namespace

std::unique_ptr<ByteSink> openSink(int fd, const char* path, RunThreads& threads, int level) {
    if (zstdName(path)) return zstdSink(fd, level < 0 ? defaultZstdLevel : level, threads, path);
    if (endsWith(path, ".gz"))
        return bgzfSink(fd, level < 0 ? defaultGzipLevel : level, threads.pool());
    return std::make_unique<PlainSink>(fd);
}

bool compressedName(const char* path) {
    return endsWith(path, ".gz") || zstdName(path);
}

bool zstdName(const char* path) {
    return endsWith(path, ".zst");
}

const char* compressLevelProblem(const char* path, int level) {
    if (endsWith(path, ".zst") && (level < 1 || level > 19))
        return "a .zst output takes levels 1 to 19";
    if (endsWith(path, ".gz") && level > 9) return "a .gz output takes levels 0 to 9";
    return nullptr;
}
