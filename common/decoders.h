// The decoders beneath openSource, and what they share: the buffer of
// compressed input, the members or frames a record error is verified
// through, and the parallel decoding of independent units.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ordered_pipeline.h"
#include "source.h"

// gzip data, any number of members; `produced` bytes were decoded before
// the raw data (of a BGZF file when `bgzf`, and after a BGZF block of data,
// not its end, when `afterBlock`), which starts with a member.
std::unique_ptr<ByteSource> gzipSource(std::unique_ptr<ByteSource> raw, std::string name,
                                       bool bgzf = false, uint64_t produced = 0,
                                       bool afterBlock = false);
// BGZF blocks decoded on the pool's threads (bgzf.cc).
std::unique_ptr<ByteSource> bgzfSource(std::unique_ptr<ByteSource> raw, std::string name,
                                       TaskPool& pool);
// zstd data, any number of frames; `produced` as for gzipSource.
std::unique_ptr<ByteSource> zstdSource(std::unique_ptr<ByteSource> raw, std::string name,
                                       uint64_t produced = 0);
// zstd frames decoded on the pool's threads.
std::unique_ptr<ByteSource> zstdFramesSource(std::unique_ptr<ByteSource> raw, std::string name,
                                             TaskPool& pool);
// Whether zstd data whose first bytes are `head` looks made of many frames.
bool manyZstdFrames(const std::string& head);
// The source read on the pool's threads, a few buffers ahead of the reader.
std::unique_ptr<ByteSource> readAhead(std::unique_ptr<ByteSource> inner, TaskPool& pool);

// The compressed input of a decoder: a buffer refilled from a source.
class Compressed {
  public:
    explicit Compressed(std::unique_ptr<ByteSource> raw) : raw_(std::move(raw)), buf_(chunk) {}
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
    // Hands over the raw source: `kept`, then the bytes not used yet, then
    // the rest of it. The buffer may not be used afterwards.
    std::unique_ptr<ByteSource> rest(std::string kept) {
        kept.append(reinterpret_cast<const char*>(next()), available());
        begin_ = end_ = 0;
        return std::make_unique<KeptBytes>(std::move(kept), std::move(raw_));
    }

  private:
    static constexpr size_t chunk = size_t{128} << 10;
    std::unique_ptr<ByteSource> raw_;
    std::vector<char> buf_;
    size_t begin_ = 0, end_ = 0;
    uint64_t used_ = 0;
    bool ended_ = false;
    int error_ = 0;
};

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

// Compressed data made of independent units (BGZF blocks, zstd frames):
// the calling thread cuts each unit from the raw data, a task decodes it
// whole into a buffer, and the units are handed out in order. At anything
// the cutter or the decoder does not take (damage, a cut, an unusual
// header), a sequential decoder reads what is left from that unit on, so
// that what is read and what fails are exactly as with one thread.
class UnitSource : public MemberSource {
  public:
    bool verifyThrough(uint64_t offset) override;

  protected:
    // A unit and what it decodes to; kept from unit to unit.
    struct Unit {
        std::string in;  // its raw bytes
        std::unique_ptr<char[]> out;
        size_t outCapacity = 0, outSize = 0;
        size_t bound = 0;       // of its decoded size, set by the cutter
        uint64_t expected = 0;  // its decoded size where the cutter knows it
        bool good = false;
    };
    // `decodeUnit` runs on the workers: it sets outSize and returns whether
    // the unit decoded whole. At most `slots` units are in flight.
    UnitSource(std::unique_ptr<ByteSource> raw, std::string name, size_t slots, TaskPool& pool,
               bool (*decodeUnit)(Unit&))
        : in_(std::move(raw)),
          name_(std::move(name)),
          slots_(slots),
          decodeUnit_(decodeUnit),
          pool_(pool),
          units_(pool) {}

    // Takes the next unit's raw bytes with take() and sets its bound (and
    // expected size); false, with what it took, at the end of the data or
    // at anything left to the sequential decoder.
    virtual bool cut(Unit& unit) = 0;
    // The sequential decoder of what is left, `produced` bytes having been
    // handed out before it, the last unit of `lastSize` bytes.
    virtual std::unique_ptr<ByteSource> sequential(std::unique_ptr<ByteSource> rest,
                                                   uint64_t produced, size_t lastSize) = 0;
    // At the end of the data, after a last unit of `lastSize` bytes: 0, or
    // a failure.
    virtual ssize_t atEnd(size_t lastSize) {
        (void)lastSize;
        return 0;
    }

    // Moves n bytes of the raw data into the unit being cut; false if the
    // data ends first.
    bool take(size_t n);

    Compressed in_;
    std::string name_;

    TaskPool& pool() { return pool_; }

  private:
    ssize_t decode(char* dst, size_t n, bool oneUnit) override;
    void fill();
    ssize_t startFallback(char* dst, size_t n);

    size_t slots_;
    bool (*decodeUnit_)(Unit&);
    TaskPool& pool_;
    bool stopped_ = false, filled_ = false;
    std::string taken_;    // raw bytes taken, not yet in a unit
    size_t at_ = 0;        // of the oldest unit's output
    size_t lastSize_ = 1;  // output of the last unit handed out
    size_t largest_ = 0;   // bound of the largest unit
    uint64_t produced_ = 0;
    std::unique_ptr<ByteSource> fallback_;
    OrderedPipeline<Unit> units_;  // in file order
};
