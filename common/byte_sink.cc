#include "byte_sink.h"

#include <isa-l/igzip_lib.h>
#include <unistd.h>
#include <zstd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

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

constexpr size_t outputChunk = size_t{256} << 10;

class PlainSink : public ByteSink {
  public:
    explicit PlainSink(int fd) : fd_(fd) {}
    int write(const char* data, size_t n) override { return writeAll(fd_, data, n); }
    int finish() override { return 0; }

  private:
    int fd_;
};

// gzip at ISA-L's level 1, its fast level.
class GzipSink : public ByteSink {
  public:
    explicit GzipSink(int fd) : fd_(fd), level_(ISAL_DEF_LVL1_DEFAULT), out_(outputChunk) {
        isal_deflate_init(&stream_);
        stream_.level = 1;
        stream_.level_buf = level_.data();
        stream_.level_buf_size = static_cast<uint32_t>(level_.size());
        stream_.gzip_flag = IGZIP_GZIP;
    }
    int write(const char* data, size_t n) override { return run(data, n, false); }
    int finish() override { return run(nullptr, 0, true); }

  private:
    int run(const char* data, size_t n, bool last) {
        stream_.next_in = reinterpret_cast<uint8_t*>(const_cast<char*>(data));
        stream_.avail_in = static_cast<uint32_t>(n);
        stream_.end_of_stream = last;
        do {
            stream_.next_out = out_.data();
            stream_.avail_out = static_cast<uint32_t>(out_.size());
            if (isal_deflate(&stream_) != COMP_OK) return EINVAL;
            const size_t produced = out_.size() - stream_.avail_out;
            if (int err = writeAll(fd_, reinterpret_cast<char*>(out_.data()), produced)) return err;
        } while (stream_.avail_in > 0 || (last && stream_.internal_state.state != ZSTATE_END));
        return 0;
    }
    int fd_;
    isal_zstream stream_;
    std::vector<uint8_t> level_;
    std::vector<uint8_t> out_;
};

// zstd at level 3; with workers, libzstd compresses on threads of its own.
class ZstdSink : public ByteSink {
  public:
    ZstdSink(int fd, int workers) : fd_(fd), ctx_(ZSTD_createCCtx()), out_(ZSTD_CStreamOutSize()) {
        if (ctx_) {
            ZSTD_CCtx_setParameter(ctx_, ZSTD_c_compressionLevel, 3);
            // A content checksum, as the zstd command writes, so that
            // damaged data is found when it is read.
            ZSTD_CCtx_setParameter(ctx_, ZSTD_c_checksumFlag, 1);
            if (workers > 0) ZSTD_CCtx_setParameter(ctx_, ZSTD_c_nbWorkers, workers);
        }
    }
    ~ZstdSink() override { ZSTD_freeCCtx(ctx_); }
    int write(const char* data, size_t n) override { return run(data, n, ZSTD_e_continue); }
    int finish() override { return run(nullptr, 0, ZSTD_e_end); }

  private:
    int run(const char* data, size_t n, ZSTD_EndDirective mode) {
        if (!ctx_) return ENOMEM;
        ZSTD_inBuffer input{data, n, 0};
        for (;;) {
            ZSTD_outBuffer output{out_.data(), out_.size(), 0};
            const size_t left = ZSTD_compressStream2(ctx_, &output, &input, mode);
            if (ZSTD_isError(left)) return EINVAL;
            if (int err = writeAll(fd_, out_.data(), output.pos)) return err;
            const bool done = mode == ZSTD_e_end ? left == 0 : input.pos == input.size;
            if (done) return 0;
        }
    }
    int fd_;
    ZSTD_CCtx* ctx_;
    std::vector<char> out_;
};

// Hands the writes of another sink to a thread of its own through a small
// bounded queue; a failure there is returned by a later write or finish.
class ThreadedSink : public ByteSink {
  public:
    explicit ThreadedSink(std::unique_ptr<ByteSink> inner) : inner_(std::move(inner)) {
        worker_ = std::thread([this] { consume(); });
    }
    ~ThreadedSink() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closing_ = true;
        }
        changed_.notify_all();
        worker_.join();
    }
    int write(const char* data, size_t n) override {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return queue_.size() < 3 || error_; });
        if (error_) return error_;
        queue_.emplace_back(data, data + n);
        changed_.notify_all();
        return 0;
    }
    int finish() override {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return (queue_.empty() && !busy_) || error_; });
        if (error_) return error_;
        return inner_->finish();
    }

  private:
    void consume() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return !queue_.empty() || closing_; });
            if (queue_.empty()) return;
            std::vector<char> chunk = std::move(queue_.front());
            queue_.erase(queue_.begin());
            busy_ = true;
            const bool failed = error_ != 0;
            lock.unlock();
            const int err = failed ? 0 : inner_->write(chunk.data(), chunk.size());
            lock.lock();
            busy_ = false;
            if (err && !error_) error_ = err;
            changed_.notify_all();
        }
    }
    std::unique_ptr<ByteSink> inner_;
    std::vector<std::vector<char>> queue_;
    bool busy_ = false;
    bool closing_ = false;
    int error_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread worker_;
};

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

}  // namespace

std::unique_ptr<ByteSink> openSink(int fd, const char* path, int threads) {
    if (endsWith(path, ".zst")) return std::make_unique<ZstdSink>(fd, threads);
    if (endsWith(path, ".gz")) {
        auto gzip = std::make_unique<GzipSink>(fd);
        if (threads > 0) return std::make_unique<ThreadedSink>(std::move(gzip));
        return gzip;
    }
    return std::make_unique<PlainSink>(fd);
}
