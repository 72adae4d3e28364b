#include <isa-l/igzip_lib.h>

#include "bgzf.h"
#include "decoders.h"

namespace {

const char* inflateProblem(int code) {
    switch (code) {
        case ISAL_INVALID_BLOCK:
            return "invalid deflate block";
        case ISAL_INVALID_SYMBOL:
            return "invalid deflate symbol";
        case ISAL_INVALID_LOOKBACK:
            return "invalid back-reference";
        case ISAL_INVALID_WRAPPER:
            return "invalid gzip header";
        case ISAL_UNSUPPORTED_METHOD:
            return "unsupported compression method";
        case ISAL_INCORRECT_CHECKSUM:
            return "CRC or length mismatch";
        default:
            return "undecodable stream";
    }
}

// gzip data, any number of members (bgzip files included), and zero bytes
// of padding after the last. A BGZF file (its first member carries the BC
// field) must end with the empty end-of-file block, or it was cut.
class GzipSource : public MemberSource {
  public:
    // `produced` bytes were decoded before the raw data (of a BGZF file
    // when `bgzf`), which starts with a member.
    GzipSource(std::unique_ptr<ByteSource> raw, std::string name, bool bgzf = false,
               uint64_t produced = 0, bool afterBlock = false)
        : in_(std::move(raw)),
          name_(std::move(name)),
          bgzf_(bgzf),
          blockHadData_(afterBlock),
          produced_(produced),
          memberStart_(produced) {
        isal_inflate_init(&state_);
        state_.crc_flag = IGZIP_GZIP;
        verified_ = produced;
    }

  private:
    ssize_t decode(char* dst, size_t n, bool oneMember) override {
        if (first_) {
            if (!in_.ensure(18)) return failWith(in_.error());
            bgzf_ = bgzf_ || isBgzfHeader(in_.next(), in_.available());
            first_ = false;
            if (bgzf_ && blockHadData_ && !isBgzfHeader(in_.next(), in_.available()))
                return truncatedBgzf();
            if (in_.available() > 3 && (in_.next()[3] & 0xe0))
                return corrupt("reserved header flags");
            startMember();
        }
        for (;;) {
            if (state_.block_state == ISAL_BLOCK_FINISH) {
                // A BGZF member is as long as its header says: a damaged
                // header could otherwise take data for its extra field.
                if (blockSize_ && in_.used() - memberOffset_ != blockSize_)
                    return corrupt("BGZF block size does not match its member");
                blockHadData_ = blockSize_ != 0 && produced_ != memberStart_;
                blockSize_ = 0;
                verified_ = produced_;
                if (oneMember) return 0;
                // A member ended: another one may follow, or zero bytes of
                // padding, and nothing else.
                if (!in_.ensure(2)) return failWith(in_.error());
                if (!skipZeros()) return failWith(in_.error());
                // BGZF data ends with the empty block, whatever follows it:
                // ordinary members may follow a whole BGZF file, not a cut
                // one.
                if (in_.ended()) return bgzf_ && blockHadData_ ? truncatedBgzf() : 0;
                if (bgzf_ && blockHadData_ && !in_.ensure(18)) return failWith(in_.error());
                const uint8_t* next = in_.next();
                if (bgzf_ && blockHadData_ && !isBgzfHeader(next, in_.available()))
                    return truncatedBgzf();
                if (padded_ || in_.available() < 2 || next[0] != 0x1f || next[1] != 0x8b)
                    return corrupt("bytes after the last member");
                if (in_.available() > 3 && (next[3] & 0xe0))
                    return corrupt("reserved header flags");
                isal_inflate_reset(&state_);
                state_.crc_flag = IGZIP_GZIP;
                memberStart_ = produced_;
                if (bgzf_ && !in_.ensure(18)) return failWith(in_.error());
                startMember();
            }
            if (!in_.ensure(1)) return failWith(in_.error());
            state_.next_in = in_.next();
            state_.avail_in = static_cast<uint32_t>(in_.available());
            state_.next_out = reinterpret_cast<uint8_t*>(dst);
            state_.avail_out = static_cast<uint32_t>(std::min<size_t>(n, UINT32_MAX));
            const int code = isal_inflate(&state_);
            const size_t used = static_cast<size_t>(state_.next_in - in_.next());
            in_.use(used);
            consumed_ = in_.consumed();
            if (code < 0 || code == ISAL_NEED_DICT) return corrupt(inflateProblem(code));
            const size_t produced =
                static_cast<size_t>(reinterpret_cast<char*>(state_.next_out) - dst);
            produced_ += produced;
            if (produced > 0) return static_cast<ssize_t>(produced);
            if (state_.block_state == ISAL_BLOCK_FINISH) continue;
            if (in_.ended() || (used == 0 && !in_.ensure(in_.available() + 1)))
                return in_.error()
                           ? failWith(in_.error())
                           : failWith(name_ + ": truncated gzip data (unexpected end of file)");
        }
    }

    // Notes where a member begins and, in BGZF data, its size.
    void startMember() {
        memberOffset_ = in_.used();
        blockSize_ = bgzf_ ? bgzfBlockSize(in_.next(), in_.available()) : 0;
    }

    // Uses up the zero bytes at the front of the input; false on a read
    // error.
    bool skipZeros() {
        for (;;) {
            size_t zeros = 0;
            while (zeros < in_.available() && in_.next()[zeros] == 0) ++zeros;
            if (zeros == 0) return true;
            padded_ = true;
            in_.use(zeros);
            if (!in_.ensure(2)) return false;
        }
    }

    ssize_t truncatedBgzf() {
        return failWith(name_ + ": truncated BGZF data (no end-of-file block)");
    }

    ssize_t corrupt(const char* what) {
        return failWith(name_ + ": corrupt gzip data (" + what + ")");
    }

    Compressed in_;
    std::string name_;
    inflate_state state_;
    bool first_ = true, bgzf_ = false, padded_ = false;
    bool blockHadData_;          // the member that ended last was a BGZF block of data
    uint64_t produced_ = 0;      // bytes handed out
    uint64_t memberStart_ = 0;   // produced_ when the current member began
    uint64_t memberOffset_ = 0;  // in_.used() then
    size_t blockSize_ = 0;       // its size by its BGZF header, 0 if none
};

}  // namespace

std::unique_ptr<ByteSource> gzipSource(std::unique_ptr<ByteSource> raw, std::string name, bool bgzf,
                                       uint64_t produced, bool afterBlock) {
    return std::make_unique<GzipSource>(std::move(raw), std::move(name), bgzf, produced,
                                        afterBlock);
}
