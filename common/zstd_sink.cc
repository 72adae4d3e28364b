#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "sink.h"

namespace {

// zstd, compressed by libzstd's workers (one at least, so that the frames
// are the same whatever their number).
class ZstdSink : public ByteSink {
  public:
    ZstdSink(int fd, int level, int workers)
        : fd_(fd), ctx_(ZSTD_createCCtx()), out_(ZSTD_CStreamOutSize()) {
        if (ctx_) {
            ZSTD_CCtx_setParameter(ctx_, ZSTD_c_compressionLevel, level);
            // A content checksum, as the zstd command writes, so that
            // damaged data is found when it is read.
            ZSTD_CCtx_setParameter(ctx_, ZSTD_c_checksumFlag, 1);
            ZSTD_CCtx_setParameter(ctx_, ZSTD_c_nbWorkers, std::max(workers, 1));
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

}  // namespace

std::unique_ptr<ByteSink> zstdSink(int fd, int level, int workers) {
    return std::make_unique<ZstdSink>(fd, level, workers);
}
