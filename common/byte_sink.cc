#include "byte_sink.h"

#include <isa-l/crc.h>
#include <libdeflate.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

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

// BGZF, the blocked gzip of bgzip and htslib: gzip members of at most
// 65280 input bytes each, with the "BC" extra field giving the member's
// size, then the empty end-of-file member. Every block is compressed on its
// own by libdeflate, so the bytes written are the same
// whatever the number of threads; with workers, blocks are compressed on
// them and written in order by the writing thread.
class BgzfSink : public ByteSink {
  public:
    BgzfSink(int fd, int level, int workers)
        : fd_(fd),
          level_(level),
          blocks_(workers > 0 ? 2 * size_t(workers) + 2 : 1),
          pool_(workers) {}
    int write(const char* data, size_t n) override {
        while (n > 0) {
            Block& b = blocks_[filling_ % blocks_.size()];
            const size_t take = std::min(n, blockInput - b.inSize);
            std::memcpy(b.in.get() + b.inSize, data, take);
            b.inSize += take;
            data += take, n -= take;
            if (b.inSize == blockInput)
                if (int err = submit()) return err;
        }
        return 0;
    }
    int finish() override {
        if (blocks_[filling_ % blocks_.size()].inSize != 0)
            if (int err = submit()) return err;
        while (written_ < filling_)
            if (int err = writeNext()) return err;
        static const unsigned char eof[28] = {0x1f, 0x8b, 8,   4,   0, 0, 0,    0, 0, 0xff,
                                              6,    0,    'B', 'C', 2, 0, 0x1b, 0, 3, 0,
                                              0,    0,    0,   0,   0, 0, 0,    0};
        return writeAll(fd_, reinterpret_cast<const char*>(eof), sizeof eof);
    }

    static constexpr size_t blockInput = 0xff00;

  private:
    // Blocks are deflated by libdeflate, whose bytes depend on nothing but
    // the block and the level. (ISA-L's levels 1 and 2 choose their matches
    // by where their state lies in memory, which changes from run to run
    // and from thread to thread.)
    struct Block {
        std::unique_ptr<uint8_t[]> in{new uint8_t[blockInput]}, out{new uint8_t[65536]};
        size_t inSize = 0, outSize = 0;
        TaskPool::Done compressed;
    };

    // Hands the block being filled on to be compressed, writing the oldest
    // first when every slot is taken.
    int submit() {
        Block& b = blocks_[filling_ % blocks_.size()];
        pool_.submit([this, &b] { compress(b); }, b.compressed);
        ++filling_;
        return filling_ - written_ == blocks_.size() ? writeNext() : 0;
    }
    // Writes the oldest block once it is compressed.
    int writeNext() {
        Block& b = blocks_[written_ % blocks_.size()];
        pool_.wait(b.compressed);
        ++written_;
        const int err = writeAll(fd_, reinterpret_cast<const char*>(b.out.get()), b.outSize);
        b.inSize = 0;
        return err;
    }
    // The member of one block: header, deflate data (stored when it does
    // not shrink), CRC-32 and length.
    void compress(Block& b) {
        const size_t n = b.inSize;
        uint8_t* in = b.in.get();
        uint8_t* out = b.out.get();
        // One compressor per thread and level, kept for the thread's life.
        struct Compressors {
            libdeflate_compressor* at[13] = {};
            ~Compressors() {
                for (auto* c : at) libdeflate_free_compressor(c);
            }
        };
        thread_local Compressors compressors;
        libdeflate_compressor*& c = compressors.at[level_];
        if (!c) c = libdeflate_alloc_compressor(level_);
        if (!c) throw std::bad_alloc();
        size_t size = libdeflate_deflate_compress(c, in, n, out + 18, 65536 - 26);
        if (size == 0) {  // one stored block, when deflate does not shrink it
            out[18] = 1;
            out[19] = static_cast<uint8_t>(n), out[20] = static_cast<uint8_t>(n >> 8);
            out[21] = static_cast<uint8_t>(~n), out[22] = static_cast<uint8_t>(~n >> 8);
            std::memcpy(out + 23, in, n);
            size = 5 + n;
        }
        static const uint8_t header[16] = {0x1f, 0x8b, 8, 4, 0,   0,   0, 0,
                                           0,    0xff, 6, 0, 'B', 'C', 2, 0};
        std::memcpy(out, header, sizeof header);
        const size_t total = 18 + size + 8;
        out[16] = static_cast<uint8_t>(total - 1), out[17] = static_cast<uint8_t>((total - 1) >> 8);
        const uint32_t crc = crc32_gzip_refl(0, in, n);
        uint8_t* tail = out + 18 + size;
        for (int i = 0; i < 4; ++i) {
            tail[i] = static_cast<uint8_t>(crc >> (8 * i));
            tail[4 + i] = static_cast<uint8_t>(n >> (8 * i));
        }
        b.outSize = total;
    }

    int fd_;
    int level_;
    std::vector<Block> blocks_;
    size_t filling_ = 0, written_ = 0;  // blocks handed on, and written
    TaskPool pool_;                     // after the blocks it works on
};

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

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

}  // namespace

std::unique_ptr<ByteSink> openSink(int fd, const char* path, int threads, int level) {
    if (endsWith(path, ".zst"))
        return std::make_unique<ZstdSink>(fd, level < 0 ? defaultZstdLevel : level, threads);
    if (endsWith(path, ".gz"))
        return std::make_unique<BgzfSink>(fd, level < 0 ? defaultGzipLevel : level, threads);
    return std::make_unique<PlainSink>(fd);
}

bool compressedName(const char* path) {
    return endsWith(path, ".gz") || endsWith(path, ".zst");
}

const char* compressLevelProblem(const char* path, int level) {
    if (endsWith(path, ".zst") && (level < 1 || level > 19))
        return "a .zst output takes levels 1 to 19";
    if (endsWith(path, ".gz") && level > 3) return "a .gz output takes levels 0 to 3";
    return nullptr;
}
