#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader, for the window a frame needs
#include <zstd.h>
#include <zstd_errors.h>

#include "decoders.h"

namespace {

// zstd data, any number of frames, skippable frames included (pzstd and
// the seekable format write them).
class ZstdSource : public MemberSource {
  public:
    // `produced` bytes were decoded before the raw data, which starts with
    // a frame.
    ZstdSource(std::unique_ptr<ByteSource> raw, std::string name, uint64_t produced = 0)
        : in_(std::move(raw)),
          name_(std::move(name)),
          ctx_(ZSTD_createDCtx()),
          produced_(produced) {
        verified_ = produced;
    }
    ~ZstdSource() override { ZSTD_freeDCtx(ctx_); }

  private:
    ssize_t decode(char* dst, size_t n, bool oneFrame) override {
        if (!ctx_) return failWith(ENOMEM);
        for (;;) {
            if (pending_ == 0) {
                verified_ = produced_;
                if (oneFrame && started_) return 0;
                // A frame starts: its header tells the window it needs.
                if (!in_.ensure(ZSTD_FRAMEHEADERSIZE_MAX)) return failWith(in_.error());
                ZSTD_frameHeader header;
                if (ZSTD_getFrameHeader(&header, in_.next(), in_.available()) == 0)
                    window_ = header.windowSize;
            }
            if (!in_.ensure(1)) return failWith(in_.error());
            if (in_.ended()) {
                if (pending_ != 0)
                    return failWith(name_ + ": truncated zstd data (unexpected end of file)");
                return 0;
            }
            ZSTD_inBuffer input{in_.next(), in_.available(), 0};
            ZSTD_outBuffer output{dst, n, 0};
            pending_ = ZSTD_decompressStream(ctx_, &output, &input);
            started_ = true;
            in_.use(input.pos);
            consumed_ = in_.consumed();
            produced_ += output.pos;
            if (ZSTD_isError(pending_)) {
                if (ZSTD_getErrorCode(pending_) == ZSTD_error_frameParameter_windowTooLarge)
                    return windowTooLarge();
                return failWith(name_ + ": corrupt zstd data (" + ZSTD_getErrorName(pending_) +
                                ")");
            }
            if (output.pos > 0) return static_cast<ssize_t>(output.pos);
        }
    }

    ssize_t windowTooLarge() {
        int log = 0;
        while (log < 63 && (uint64_t{1} << log) < window_) ++log;
        const uint64_t mib = (window_ + (uint64_t{1} << 20) - 1) >> 20;
        return failWith(
            name_ + ": zstd data needs a " + std::to_string(mib) + " MiB window, above the " +
            std::to_string(1u << (ZSTD_WINDOWLOG_LIMIT_DEFAULT - 20)) +
            " MiB this tool allows (decompress it with zstd -d --long=" + std::to_string(log) +
            ")");
    }

    Compressed in_;
    std::string name_;
    ZSTD_DCtx* ctx_;
    uint64_t produced_;   // bytes handed out
    size_t pending_ = 0;  // nonzero while a frame is unfinished
    bool started_ = false;
    uint64_t window_ = 0;
};

// zstd data of many frames (pzstd output, the seekable format) decoded one
// frame per task, each cut from the raw data by walking its block headers.
// A frame that decodes to more than maxFrame bytes, a window beyond the
// limit, damage or a cut is left to ZstdSource on a thread of its own.
class ZstdFramesSource : public UnitSource {
  public:
    static constexpr size_t maxFrame = size_t{32} << 20;

    ZstdFramesSource(std::unique_ptr<ByteSource> raw, std::string name, TaskPool& pool)
        : UnitSource(std::move(raw), std::move(name), size_t(pool.threads()) + 2, pool,
                     decodeFrame) {}

  private:
    // Any skippable frames, then a frame.
    bool cut(Unit& frame) override {
        for (;;) {
            if (!in_.ensure(8) || in_.available() < 8) return false;
            const uint32_t magic = le32(in_.next());
            if ((magic & 0xfffffff0u) != 0x184d2a50u) break;
            if (!take(8 + size_t{le32(in_.next() + 4)})) return false;
        }
        if (!in_.ensure(ZSTD_FRAMEHEADERSIZE_MAX)) return false;
        ZSTD_frameHeader header;
        if (ZSTD_getFrameHeader(&header, in_.next(), in_.available()) != 0 ||
            header.frameType != ZSTD_frame ||
            header.windowSize > (uint64_t{1} << ZSTD_WINDOWLOG_LIMIT_DEFAULT) ||
            (header.frameContentSize != ZSTD_CONTENTSIZE_UNKNOWN &&
             header.frameContentSize > maxFrame))
            return false;
        if (!take(header.headerSize)) return false;
        const size_t blockMax = static_cast<size_t>(
            std::min<uint64_t>(header.windowSize ? header.windowSize : 1, ZSTD_BLOCKSIZE_MAX));
        size_t bound = 0;
        for (bool last = false; !last;) {
            if (!in_.ensure(3) || in_.available() < 3) return false;
            const uint8_t* p = in_.next();
            const uint32_t block = p[0] | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16;
            last = block & 1;
            const uint32_t type = (block >> 1) & 3, size = block >> 3;
            if (type == 3 || size > ZSTD_BLOCKSIZE_MAX) return false;
            bound += type == 2 ? blockMax : size;  // compressed, or raw and RLE
            if (bound > maxFrame || !take(3 + (type == 1 ? 1 : size))) return false;
        }
        if (header.checksumFlag && !take(4)) return false;
        frame.expected = header.frameContentSize;
        frame.bound = std::max<size_t>(bound, 1);
        return true;
    }
    std::unique_ptr<ByteSource> sequential(std::unique_ptr<ByteSource> rest, uint64_t produced,
                                           size_t) override {
        return readAhead(std::make_unique<ZstdSource>(std::move(rest), name_, produced), pool());
    }
    static uint32_t le32(const uint8_t* p) {
        return p[0] | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
    }

    static bool decodeFrame(Unit& f) {
        // One context per thread, kept for its whole life.
        thread_local std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx*)> context(ZSTD_createDCtx(),
                                                                                ZSTD_freeDCtx);
        if (!context) return false;
        const size_t size =
            ZSTD_decompressDCtx(context.get(), f.out.get(), f.bound, f.in.data(), f.in.size());
        if (ZSTD_isError(size)) return false;
        f.outSize = size;
        return f.expected == ZSTD_CONTENTSIZE_UNKNOWN || size == f.expected;
    }
};

}  // namespace

std::unique_ptr<ByteSource> zstdSource(std::unique_ptr<ByteSource> raw, std::string name,
                                       uint64_t produced) {
    return std::make_unique<ZstdSource>(std::move(raw), std::move(name), produced);
}

std::unique_ptr<ByteSource> zstdFramesSource(std::unique_ptr<ByteSource> raw, std::string name,
                                             TaskPool& pool) {
    return std::make_unique<ZstdFramesSource>(std::move(raw), std::move(name), pool);
}

// Whether zstd data looks made of many frames, which are then decoded in
// parallel: pzstd marks each frame with a skippable frame first, and other
// writers of small frames (the seekable format) end the first frame within
// the bytes sniffed. One big frame is decoded on one thread.
bool manyZstdFrames(const std::string& head) {
    if (head.size() >= 8 && std::memcmp(head.data(), "\x50\x2a\x4d\x18\x04\0\0\0", 8) == 0)
        return true;
    return !ZSTD_isError(ZSTD_findFrameCompressedSize(head.data(), head.size()));
}
