#define ZSTD_STATIC_LINKING_ONLY  // the thread pool shared by a run's zstd outputs
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "failure.h"
#include "sink.h"
#include "task_pool.h"

namespace {

// libzstd's thread pool of the run, made at its first zstd output with the
// workers the run gives zstd, or as many as can be started (one at least);
// null when not even one thread can be started.
ZSTD_threadPool* sharedPool(RunThreads& threads, int& workers) {
    if (!threads.zstdPool) {
        // The workers do not take the signals that clean up a run.
        const CleanupSignalsBlocked blocked;
        for (int n = std::max(1, threads.zstdWorkers()); n >= 1; --n) {
            if (ZSTD_threadPool* pool = ZSTD_createThreadPool(static_cast<size_t>(n))) {
                threads.zstdPool = std::shared_ptr<void>(
                    pool, [](void* p) { ZSTD_freeThreadPool(static_cast<ZSTD_threadPool*>(p)); });
                threads.zstdPoolThreads = n;
                break;
            }
        }
        if (!threads.zstdPool) return nullptr;
    }
    workers = threads.zstdPoolThreads;
    return static_cast<ZSTD_threadPool*>(threads.zstdPool.get());
}

// zstd, compressed by the run's libzstd workers (one at least, so that the
// frames are the same whatever their number).
class ZstdSink : public ByteSink {
  public:
    ZstdSink(int fd, int level, RunThreads& threads, const char* path)
        : fd_(fd), ctx_(ZSTD_createCCtx()), out_(ZSTD_CStreamOutSize()) {
        if (!ctx_) throw std::bad_alloc();
        int workers = 0;
        ZSTD_threadPool* pool = sharedPool(threads, workers);
        if (!pool) {
            ZSTD_freeCCtx(ctx_);
            fail("cannot write '%s': no thread could be started to compress it (%s)", path,
                 std::strerror(EAGAIN));
        }
        ZSTD_CCtx_setParameter(ctx_, ZSTD_c_compressionLevel, level);
        // A content checksum, as the zstd command writes, so that damaged
        // data is found when it is read.
        ZSTD_CCtx_setParameter(ctx_, ZSTD_c_checksumFlag, 1);
        ZSTD_CCtx_setParameter(ctx_, ZSTD_c_nbWorkers, workers);
        ZSTD_CCtx_refThreadPool(ctx_, pool);
    }
    ~ZstdSink() override { ZSTD_freeCCtx(ctx_); }
    int write(const char* data, size_t n) override { return run(data, n, ZSTD_e_continue); }
    int finish() override { return run(nullptr, 0, ZSTD_e_end); }

  private:
    int run(const char* data, size_t n, ZSTD_EndDirective mode) {
        ZSTD_inBuffer input{data, n, 0};
        for (;;) {
            ZSTD_outBuffer output{out_.data(), out_.size(), 0};
            const size_t left = ZSTD_compressStream2(ctx_, &output, &input, mode);
            if (ZSTD_isError(left))
                return ZSTD_getErrorCode(left) == ZSTD_error_memory_allocation ? ENOMEM : EIO;
            if (int err = writeAll(fd_, out_.data(), output.pos)) return err;
            const bool done = mode == ZSTD_e_end ? left == 0 : input.pos == input.size;
            if (done) return 0;
        }
    }
    int fd_;
    ZSTD_CCtx* ctx_;
    std::vector<char> out_;
};

}  // namespace

std::unique_ptr<ByteSink> zstdSink(int fd, int level, RunThreads& threads, const char* path) {
    return std::make_unique<ZstdSink>(fd, level, threads, path);
}
