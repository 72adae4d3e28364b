#include "byte_source.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <sys/stat.h>
#include <unistd.h>
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader, for the window a frame needs
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "task_pool.h"

ssize_t ByteSource::failWith(std::string problem) {
    problem_ = std::move(problem);
    errno_ = EIO;
    return -1;
}

namespace {

constexpr size_t inputChunk = size_t{128} << 10;
// How much of compressed data is decoded when it is opened: enough to find
// a bad header, and to check a small input whole.
constexpr size_t primeSize = size_t{16} << 10;

// Reads from a descriptor, after handing out bytes already taken from it.
class PlainSource : public ByteSource {
  public:
    // `start` is the file offset of the head when the file is regular and
    // may be read in ranges, else -1.
    PlainSource(int fd, std::string head = {}, off_t start = -1)
        : fd_(fd), head_(std::move(head)), start_(start) {}
    bool rangeFile(int& fd, uint64_t& start) override {
        if (start_ < 0 || consumed_ != 0) return false;
        fd = fd_;
        start = static_cast<uint64_t>(start_);
        return true;
    }
    ssize_t read(char* dst, size_t n) override {
        if (at_ < head_.size()) {
            const size_t take = std::min(n, head_.size() - at_);
            std::memcpy(dst, head_.data() + at_, take);
            at_ += take;
            consumed_ += take;
            if (at_ == head_.size()) std::string().swap(head_), at_ = 0;
            return static_cast<ssize_t>(take);
        }
        for (;;) {
            const ssize_t got = ::read(fd_, dst, n);
            if (got >= 0) {
                consumed_ += static_cast<uint64_t>(got);
                return got;
            }
            if (errno != EINTR) return failWith(errno);
        }
    }

  private:
    int fd_;
    std::string head_;
    off_t start_;
    size_t at_ = 0;
};

// The compressed input of a decoder: a buffer refilled from a source.
class Compressed {
  public:
    explicit Compressed(std::unique_ptr<ByteSource> raw) : raw_(std::move(raw)), buf_(inputChunk) {}
    // Makes at least k bytes available unless the file ends first. Returns
    // false on a read error (then error() is set).
    bool ensure(size_t k) {
        if (end_ - begin_ >= k) return true;
        std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
        while (end_ < k && !ended_) {
            const ssize_t got = raw_->read(buf_.data() + end_, buf_.size() - end_);
            if (got < 0) {
                error_ = raw_->errorNumber();
                return false;
            }
            ended_ = got == 0;
            end_ += static_cast<size_t>(got);
        }
        return true;
    }
    uint8_t* next() { return reinterpret_cast<uint8_t*>(buf_.data() + begin_); }
    size_t available() const { return end_ - begin_; }
    void use(size_t n) {
        begin_ += n;
        used_ += n;
    }
    // Bytes used so far.
    uint64_t used() const { return used_; }
    bool ended() const { return ended_ && begin_ == end_; }
    int error() const { return error_; }
    uint64_t consumed() const { return raw_->consumed(); }
    ByteSource& raw() { return *raw_; }

  private:
    std::unique_ptr<ByteSource> raw_;
    std::vector<char> buf_;
    size_t begin_ = 0, end_ = 0;
    uint64_t used_ = 0;
    bool ended_ = false;
    int error_ = 0;
};

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

// Compressed data made of independent members (gzip) or frames (zstd).
class MemberSource : public ByteSource {
  public:
    ssize_t read(char* dst, size_t n) override { return decode(dst, n, false); }
    bool verifyThrough(uint64_t offset) override {
        if (offset <= verified_) return true;
        if (errno_) return false;
        char scratch[16384];
        for (;;) {
            const ssize_t got = decode(scratch, sizeof scratch, true);
            if (got <= 0) return got == 0;
        }
    }

  protected:
    // Decodes up to n bytes; with `oneMember`, stops at the end of the
    // current member.
    virtual ssize_t decode(char* dst, size_t n, bool oneMember) = 0;
    uint64_t verified_ = 0;  // bytes handed out up to the end of the last whole member
};

// The size of a gzip member whose header (n bytes of it at p) carries the
// BGZF "BC" extra field, else 0.
size_t bgzfBlockSize(const uint8_t* p, size_t n) {
    if (n < 12 || !(p[3] & 4)) return 0;  // no FEXTRA
    const size_t extraEnd = std::min(n, 12 + size_t{p[10]} + (size_t{p[11]} << 8));
    for (size_t at = 12; at + 4 <= extraEnd; at += 4 + p[at + 2] + (size_t{p[at + 3]} << 8))
        if (p[at] == 'B' && p[at + 1] == 'C' && p[at + 2] == 2 && p[at + 3] == 0 &&
            at + 6 <= extraEnd)
            return size_t{p[at + 4]} + (size_t{p[at + 5]} << 8) + 1;
    return 0;
}
bool isBgzfHeader(const uint8_t* p, size_t n) {
    return bgzfBlockSize(p, n) != 0;
}

// gzip data, any number of members (bgzip files included), and zero bytes
// of padding after the last. A BGZF file (its first member carries the BC
// field) must end with the empty end-of-file block, or it was cut.
class GzipSource : public MemberSource {
  public:
    // `produced` bytes were decoded before the raw data (of a BGZF file
    // when `bgzf`), which starts with a member.
    GzipSource(std::unique_ptr<ByteSource> raw, std::string name, bool bgzf = false,
               uint64_t produced = 0)
        : in_(std::move(raw)),
          name_(std::move(name)),
          bgzf_(bgzf),
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
                lastWasBgzf_ = blockSize_ != 0;
                blockSize_ = 0;
                verified_ = produced_;
                if (oneMember) return 0;
                // A member ended: another one may follow, or zero bytes of
                // padding, and nothing else.
                if (!in_.ensure(2)) return failWith(in_.error());
                if (!skipZeros()) return failWith(in_.error());
                if (in_.ended()) {
                    // BGZF data to its end must end with the empty block;
                    // ordinary members may follow a whole BGZF file.
                    if (bgzf_ && lastWasBgzf_ && produced_ != memberStart_)
                        return failWith(name_ + ": truncated BGZF data (no end-of-file block)");
                    return 0;
                }
                const uint8_t* next = in_.next();
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

    ssize_t corrupt(const char* what) {
        return failWith(name_ + ": corrupt gzip data (" + what + ")");
    }

    Compressed in_;
    std::string name_;
    inflate_state state_;
    bool first_ = true, bgzf_ = false, padded_ = false;
    bool lastWasBgzf_ = false;   // the member that ended last carried its BGZF size
    uint64_t produced_ = 0;      // bytes handed out
    uint64_t memberStart_ = 0;   // produced_ when the current member began
    uint64_t memberOffset_ = 0;  // in_.used() then
    size_t blockSize_ = 0;       // its size by its BGZF header, 0 if none
};

// The bytes kept from a source, then the rest of it: what a sequential
// decoder takes on from a parallel one that stopped.
class Rest : public ByteSource {
  public:
    Rest(std::string kept, ByteSource& raw) : kept_(std::move(kept)), raw_(raw) {}
    ssize_t read(char* dst, size_t n) override {
        if (at_ < kept_.size()) {
            const size_t take = std::min(n, kept_.size() - at_);
            std::memcpy(dst, kept_.data() + at_, take);
            at_ += take;
            return static_cast<ssize_t>(take);
        }
        const ssize_t got = raw_.read(dst, n);
        consumed_ = raw_.consumed();
        return got < 0 ? failLike(raw_) : got;
    }

  private:
    std::string kept_;
    size_t at_ = 0;
    ByteSource& raw_;
};

// Compressed data made of independent units (BGZF blocks, zstd frames):
// the calling thread cuts each unit from the raw data, a task decodes it
// whole into a buffer, and the units are handed out in order. At anything
// the cutter or the decoder does not take (damage, a cut, an unusual
// header), a sequential decoder reads what is left from that unit on, so
// that what is read and what fails are exactly as with one thread.
class UnitSource : public MemberSource {
  public:
    bool verifyThrough(uint64_t offset) override {
        if (!fallback_) return true;  // every unit handed out was decoded whole
        if (fallback_->verifyThrough(offset)) return true;
        failLike(*fallback_);
        return false;
    }

  protected:
    // A unit and what it decodes to; kept from unit to unit.
    struct Unit {
        std::string in;  // its raw bytes
        std::unique_ptr<char[]> out;
        size_t outCapacity = 0, outSize = 0;
        size_t bound = 0;       // of its decoded size, set by the cutter
        uint64_t expected = 0;  // its decoded size where the cutter knows it
        bool good = false;
        TaskPool::Done done;
    };
    // `decodeUnit` runs on the workers: it sets outSize and returns whether
    // the unit decoded whole.
    UnitSource(std::unique_ptr<ByteSource> raw, std::string name, size_t slots, int workers,
               bool (*decodeUnit)(Unit&))
        : in_(std::move(raw)),
          name_(std::move(name)),
          slots_(slots),
          decodeUnit_(decodeUnit),
          pool_(workers) {}

    // Takes the next unit's raw bytes with take() and sets its bound (and
    // expected size); false, with what it took, at the end of the data or
    // at anything left to the sequential decoder.
    virtual bool cut(Unit& unit) = 0;
    // The sequential decoder of what is left, `produced` bytes having been
    // handed out before it.
    virtual std::unique_ptr<ByteSource> sequential(std::unique_ptr<ByteSource> rest,
                                                   uint64_t produced) = 0;
    // At the end of the data, after a last unit of `lastSize` bytes: 0, or
    // a failure.
    virtual ssize_t atEnd(size_t lastSize) {
        (void)lastSize;
        return 0;
    }

    // Moves n bytes of the raw data into the unit being cut; false if the
    // data ends first.
    bool take(size_t n) {
        while (n > 0) {
            if (!in_.ensure(1) || in_.available() == 0) return false;
            const size_t k = std::min(n, in_.available());
            taken_.append(reinterpret_cast<const char*>(in_.next()), k);
            in_.use(k);
            consumed_ = in_.consumed();
            n -= k;
        }
        return true;
    }

    Compressed in_;
    std::string name_;

  private:
    ssize_t decode(char* dst, size_t n, bool oneUnit) override {
        for (;;) {
            if (fallback_) {
                const ssize_t got = fallback_->read(dst, n);
                consumed_ = fallback_->consumed();
                return got < 0 ? failLike(*fallback_) : got;
            }
            if (units_.empty()) fill();
            if (units_.empty()) {
                if (in_.error()) return failWith(in_.error());
                if (!in_.ended() || !taken_.empty()) return startFallback(dst, n);
                spare_.clear();  // the buffers go at the end of the data
                return atEnd(lastSize_);
            }
            Unit& front = *units_.front();
            pool_.wait(front.done);
            if (!front.good) return startFallback(dst, n);
            if (at_ < front.outSize) {
                const size_t take = std::min(n, front.outSize - at_);
                std::memcpy(dst, front.out.get() + at_, take);
                at_ += take;
                produced_ += take;
                return static_cast<ssize_t>(take);
            }
            lastSize_ = front.outSize;
            spare_.push_back(std::move(units_.front()));
            units_.pop_front();
            at_ = 0;
            fill();
            if (oneUnit) return 0;
        }
    }

    // Cuts units and queues them, up to the slots; the first time only one,
    // so that an input opened but not read yet (whose first bytes are
    // decoded at once) holds one unit.
    void fill() {
        const size_t slots = filled_ ? slots_ : 1;
        filled_ = true;
        while (units_.size() < slots && !stopped_) {
            std::unique_ptr<Unit> unit;
            if (spare_.empty()) {
                unit = std::make_unique<Unit>();
            } else {
                unit = std::move(spare_.back());
                spare_.pop_back();
            }
            if (!cut(*unit)) {
                stopped_ = true;
                return;
            }
            unit->in.swap(taken_);
            taken_.clear();
            // Buffers as large as the largest unit yet, so that units of
            // about one size reuse them rather than map new ones.
            largest_ = std::max(largest_, unit->bound);
            if (unit->outCapacity < unit->bound) {
                unit->out.reset(new char[largest_]);
                unit->outCapacity = largest_;
            }
            Unit* u = unit.get();
            pool_.submit([u, decodeUnit = decodeUnit_] { u->good = decodeUnit(*u); }, u->done);
            units_.push_back(std::move(unit));
        }
    }

    // From the first unit not handed out, the sequential decoder reads what
    // is left: the units queued, the bytes taken since, and the rest of the
    // file.
    ssize_t startFallback(char* dst, size_t n) {
        if (in_.error()) return failWith(in_.error());
        std::string rest;
        for (const auto& u : units_) rest.append(u->in);
        rest.append(taken_);
        rest.append(reinterpret_cast<const char*>(in_.next()), in_.available());
        pool_.stop();
        units_.clear();
        spare_.clear();
        taken_.clear();
        fallback_ = sequential(std::make_unique<Rest>(std::move(rest), in_.raw()), produced_);
        return decode(dst, n, false);
    }

    size_t slots_;
    bool (*decodeUnit_)(Unit&);
    bool stopped_ = false, filled_ = false;
    std::string taken_;                         // raw bytes taken, not yet in a unit
    std::deque<std::unique_ptr<Unit>> units_;   // in file order
    std::vector<std::unique_ptr<Unit>> spare_;  // handed out, kept for their buffers
    size_t at_ = 0;                             // of the front unit's output
    size_t lastSize_ = 1;                       // output of the last unit handed out
    size_t largest_ = 0;                        // bound of the largest unit
    uint64_t produced_ = 0;
    std::unique_ptr<ByteSource> fallback_;
    TaskPool pool_;  // after the units it works on
};

// A BGZF file decoded block by block, each block a whole member inflated in
// one go and checked (CRC and length). Anything else than a well-formed
// block (a member without its BC size, damage, padding, a cut) is left to
// GzipSource.
class BgzfSource : public UnitSource {
  public:
    BgzfSource(std::unique_ptr<ByteSource> raw, std::string name, int workers)
        : UnitSource(std::move(raw), std::move(name), 4 * size_t(workers) + 4, workers,
                     inflateBlock) {}

  private:
    static constexpr size_t maxBlock = 65536;

    // A member with a plain BGZF header, read whole.
    bool cut(Unit& unit) override {
        if (!in_.ensure(18) || in_.available() < 18) return false;
        const uint8_t* p = in_.next();
        if (p[0] != 0x1f || p[1] != 0x8b || p[2] != 8 || p[3] != 4 || p[10] != 6 || p[11] != 0 ||
            p[12] != 'B' || p[13] != 'C' || p[14] != 2 || p[15] != 0)
            return false;
        const size_t size = size_t{p[16]} + (size_t{p[17]} << 8) + 1;
        if (size < 26 || !in_.ensure(size) || in_.available() < size) return false;
        unit.bound = maxBlock;
        return take(size);
    }
    std::unique_ptr<ByteSource> sequential(std::unique_ptr<ByteSource> rest,
                                           uint64_t produced) override {
        return std::make_unique<GzipSource>(std::move(rest), name_, true, produced);
    }
    ssize_t atEnd(size_t lastSize) override {
        if (lastSize != 0) return failWith(name_ + ": truncated BGZF data (no end-of-file block)");
        return 0;
    }

    static bool inflateBlock(Unit& b) {
        const uint8_t* p = reinterpret_cast<const uint8_t*>(b.in.data());
        const size_t size = b.in.size();
        const uint32_t crc = uint32_t(p[size - 8]) | uint32_t(p[size - 7]) << 8 |
                             uint32_t(p[size - 6]) << 16 | uint32_t(p[size - 5]) << 24;
        const uint32_t length = uint32_t(p[size - 4]) | uint32_t(p[size - 3]) << 8 |
                                uint32_t(p[size - 2]) << 16 | uint32_t(p[size - 1]) << 24;
        if (length > maxBlock) return false;
        b.outSize = length;
        inflate_state state;
        isal_inflate_init(&state);
        state.crc_flag = ISAL_DEFLATE;
        state.next_in = const_cast<uint8_t*>(p + 18);
        state.avail_in = static_cast<uint32_t>(size - 26);
        state.next_out = reinterpret_cast<uint8_t*>(b.out.get());
        state.avail_out = length;
        if (isal_inflate_stateless(&state) != ISAL_DECOMP_OK || state.avail_in != 0 ||
            state.total_out != length)
            return false;
        return crc32_gzip_refl(0, reinterpret_cast<const uint8_t*>(b.out.get()), length) == crc;
    }
};

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

// Runs another source on a thread of its own, which fills buffers ahead of
// the reader through a small bounded queue. The thread starts at the first
// read and its buffers are given back at the end of the data, so that of
// several inputs read one after another only one holds them.
class ThreadedSource : public WrappingSource {
  public:
    explicit ThreadedSource(std::unique_ptr<ByteSource> inner) : WrappingSource(std::move(inner)) {}
    ~ThreadedSource() override { stop(); }
    bool verifyThrough(uint64_t offset) override {
        // The thread has read ahead of the reader, perhaps into a failure:
        // the source it read from says where that lies.
        stop();
        return WrappingSource::verifyThrough(offset);
    }
    ssize_t read(char* dst, size_t n) override {
        if (finished_) {
            if (!failed_) return 0;  // the end stays the end
            return failLike(*inner_);
        }
        if (!worker_.joinable()) {
            for (auto& slot : slots_) slot.data.resize(slotSize);
            worker_ = std::thread([this] { produce(); });
        }
        Slot& slot = slots_[head_ % slotCount];
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return filled_ > 0; });
        }
        if (slot.size <= 0) {
            finished_ = true;
            failed_ = slot.size < 0;
            stop();
            for (auto& s : slots_) std::vector<char>().swap(s.data);
            return read(dst, n);
        }
        const size_t take = std::min(n, static_cast<size_t>(slot.size) - slot.used);
        std::memcpy(dst, slot.data.data() + slot.used, take);
        slot.used += take;
        if (slot.used == static_cast<size_t>(slot.size)) {
            ++head_;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                --filled_;
            }
            changed_.notify_all();
        }
        consumed_ = consumedSoFar_.load();
        return static_cast<ssize_t>(take);
    }

  private:
    struct Slot {
        std::vector<char> data;
        ssize_t size = 0;
        size_t used = 0;
    };
    static constexpr size_t slotCount = 3;
    static constexpr size_t slotSize = size_t{64} << 10;

    void stop() {
        if (!worker_.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        worker_.join();
    }

    void produce() {
        for (size_t tail = 0;; ++tail) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] { return filled_ < slotCount || stop_; });
                if (stop_) return;
            }
            Slot& slot = slots_[tail % slotCount];
            slot.used = 0;
            slot.size = inner_->read(slot.data.data(), slot.data.size());
            consumedSoFar_ = inner_->consumed();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ++filled_;
            }
            changed_.notify_all();
            if (slot.size <= 0) return;
        }
    }

    Slot slots_[slotCount];
    size_t head_ = 0;
    size_t filled_ = 0;
    bool stop_ = false;
    bool finished_ = false, failed_ = false;
    std::atomic<uint64_t> consumedSoFar_{0};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread worker_;
};

// zstd data of many frames (pzstd output, the seekable format) decoded one
// frame per task, each cut from the raw data by walking its block headers.
// A frame that decodes to more than maxFrame bytes, a window beyond the
// limit, damage or a cut is left to ZstdSource on a thread of its own.
class ZstdFramesSource : public UnitSource {
  public:
    static constexpr size_t maxFrame = size_t{32} << 20;

    ZstdFramesSource(std::unique_ptr<ByteSource> raw, std::string name, int workers)
        : UnitSource(std::move(raw), std::move(name), size_t(workers) + 2, workers, decodeFrame) {}

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
    std::unique_ptr<ByteSource> sequential(std::unique_ptr<ByteSource> rest,
                                           uint64_t produced) override {
        return std::make_unique<ThreadedSource>(
            std::make_unique<ZstdSource>(std::move(rest), name_, produced));
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

// Hands out the first bytes of another source, read when the input is
// opened, so that undecodable data fails the run before any output exists
// (and a small input is checked whole).
class PrimedSource : public WrappingSource {
  public:
    explicit PrimedSource(std::unique_ptr<ByteSource> inner)
        : WrappingSource(std::move(inner)), first_(primeSize) {
        size_ = inner_->read(first_.data(), first_.size());
        consumed_ = inner_->consumed();
        if (size_ < 0) failLike(*inner_);
    }
    bool failed() const { return size_ < 0; }
    ssize_t read(char* dst, size_t n) override {
        if (size_ < 0) return failLike(*inner_);
        if (at_ < static_cast<size_t>(size_)) {
            const size_t take = std::min(n, static_cast<size_t>(size_) - at_);
            std::memcpy(dst, first_.data() + at_, take);
            at_ += take;
            return static_cast<ssize_t>(take);
        }
        if (size_ == 0) return 0;
        const ssize_t got = inner_->read(dst, n);
        consumed_ = inner_->consumed();
        return got < 0 ? failLike(*inner_) : got;
    }

  private:
    std::vector<char> first_;
    ssize_t size_ = 0;
    size_t at_ = 0;
};

}  // namespace

std::unique_ptr<ByteSource> plainSource(int fd) {
    return std::make_unique<PlainSource>(fd);
}

namespace {

// How much of a plain input is looked at for a NUL byte before it is taken
// as text.
constexpr size_t sniffSize = size_t{64} << 10;

bool startsWith(const std::string& head, const char* magic, size_t n) {
    return head.size() >= n && std::memcmp(head.data(), magic, n) == 0;
}

// A compressed format the tools do not read, and the command that
// decompresses it; null when the data is not one.
const char* foreignFormat(const std::string& head, const char** decompressor) {
    static const struct {
        const char* magic;
        size_t size;
        const char* name;
        const char* command;
    } formats[] = {
        {"\xfd"
         "7zXZ\0",
         6, "xz", "xz -dc"},
        {"\x04\x22\x4d\x18", 4, "lz4", "lz4 -dc"},
        {"PK\x03\x04", 4, "zip", "unzip -p"},
    };
    for (const auto& f : formats) {
        if (startsWith(head, f.magic, f.size)) {
            *decompressor = f.command;
            return f.name;
        }
    }
    if (startsWith(head, "BZh", 3) && head.size() >= 4 && head[3] >= '1' && head[3] <= '9') {
        *decompressor = "bzip2 -dc";
        return "bzip2";
    }
    return nullptr;
}

bool isZstd(const std::string& head) {
    // A frame, or a skippable frame (magic 0x184D2A50 to 0x184D2A5F).
    return startsWith(head, "\x28\xb5\x2f\xfd", 4) ||
           (head.size() >= 4 && (head[0] & 0xf0) == 0x50 &&
            head.compare(1, 3, "\x2a\x4d\x18") == 0);
}

// Whether zstd data looks made of many frames, which are then decoded in
// parallel: pzstd marks each frame with a skippable frame first, and other
// writers of small frames (the seekable format) end the first frame within
// the bytes sniffed. One big frame is decoded on one thread.
bool manyFrames(const std::string& head) {
    if (startsWith(head, "\x50\x2a\x4d\x18\x04\0\0\0", 8)) return true;
    return !ZSTD_isError(ZSTD_findFrameCompressedSize(head.data(), head.size()));
}

}  // namespace

std::unique_ptr<ByteSource> openSource(int fd, const char* name, int threads, std::string* problem,
                                       const char* pipeReader) {
    // The first bytes tell the format, and show a plain input to be text;
    // they are handed on to the decoder or the plain reader.
    struct stat info;
    const off_t start =
        fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? lseek(fd, 0, SEEK_CUR) : -1;
    std::string head(sniffSize, '\0');
    size_t got = 0;
    while (got < head.size()) {
        const ssize_t n = ::read(fd, head.data() + got, head.size() - got);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            // Let the plain reader report the failure on its first read.
            break;
        }
        got += static_cast<size_t>(n);
    }
    head.resize(got);
    auto refuse = [&](const std::string& why) -> std::unique_ptr<ByteSource> {
        if (problem) *problem = why;
        return nullptr;
    };
    const char* decompressor = nullptr;
    if (const char* format = foreignFormat(head, &decompressor)) {
        std::string hint = std::string(" (decompress it first: ") + decompressor;
        if (std::strcmp(name, "standard input") != 0) hint.append(" ").append(name);
        if (pipeReader) hint.append(" | ").append(pipeReader);
        return refuse(std::string(name) + ": " + format + "-compressed input is not supported" +
                      hint + ")");
    }
    std::unique_ptr<ByteSource> source;
    const bool gzip = got >= 2 && head[0] == '\x1f' && head[1] == '\x8b';
    const bool zstd = !gzip && isZstd(head);
    if (!gzip && !zstd && std::memchr(head.data(), '\0', head.size()))
        return refuse(std::string(name) + ": binary data, not text");
    // BGZF is decoded block by block on the threads themselves.
    const bool parallel =
        gzip && threads > 0 && isBgzfHeader(reinterpret_cast<const uint8_t*>(head.data()), got);
    const bool frames = zstd && threads > 0 && manyFrames(head);
    auto raw = std::make_unique<PlainSource>(fd, std::move(head), gzip || zstd ? -1 : start);
    if (parallel)
        source = std::make_unique<BgzfSource>(std::move(raw), name, threads);
    else if (frames)
        source = std::make_unique<ZstdFramesSource>(std::move(raw), name, threads);
    else if (gzip)
        source = std::make_unique<GzipSource>(std::move(raw), name);
    else if (zstd)
        source = std::make_unique<ZstdSource>(std::move(raw), name);
    else
        return raw;
    auto primed = std::make_unique<PrimedSource>(std::move(source));
    if (primed->failed()) {
        return refuse(primed->problem().empty() ? std::string("cannot read '") + name +
                                                      "': " + std::strerror(primed->errorNumber())
                                                : primed->problem());
    }
    if (threads > 0 && !parallel && !frames)
        return std::make_unique<ThreadedSource>(std::move(primed));
    return primed;
}
