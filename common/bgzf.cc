#include "bgzf.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

#include "decoders.h"
#include "ordered_pipeline.h"

namespace {

// A block: the 18-byte header (its first 16 bytes these, except the time,
// the flags and the system at 4 to 9; then the member's size less one),
// deflate data, the CRC-32 and the length of the data.
constexpr uint8_t header[16] = {0x1f, 0x8b, 8, 4, 0, 0, 0, 0, 0, 0xff, 6, 0, 'B', 'C', 2, 0};
constexpr size_t headerSize = 18, trailerSize = 8;
constexpr size_t maxBlock = 65536;     // of a member, and of its data
constexpr size_t blockInput = 0xff00;  // written per block, as bgzip does
// ISA-L's state, in whole pages (see FastDeflate).
constexpr size_t stateSize = (sizeof(isal_zstream) + 4095) & ~size_t{4095};

bool plainHeader(const uint8_t* p) {
    return std::memcmp(p, header, 4) == 0 && std::memcmp(p + 10, header + 10, 6) == 0;
}

uint32_t le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// A BGZF file decoded block by block, each block a whole member inflated
// in one go and checked (CRC and length). Anything else than a well-formed
// block (a member without its BC size, damage, padding, a cut) is left to
// the gzip decoder.
class BgzfSource : public UnitSource {
  public:
    BgzfSource(std::unique_ptr<ByteSource> raw, std::string name, TaskPool& pool)
        : UnitSource(std::move(raw), std::move(name), 4 * size_t(pool.threads()) + 4, pool,
                     inflateBlock) {}

  private:
    // A member with a plain BGZF header, read whole.
    bool cut(Unit& unit) override {
        if (!in_.ensure(headerSize) || in_.available() < headerSize) return false;
        const uint8_t* p = in_.next();
        if (!plainHeader(p)) return false;
        const size_t size = size_t{p[16]} + (size_t{p[17]} << 8) + 1;
        if (size < headerSize + trailerSize || !in_.ensure(size) || in_.available() < size)
            return false;
        unit.bound = maxBlock;
        return take(size);
    }
    std::unique_ptr<ByteSource> sequential(std::unique_ptr<ByteSource> rest, uint64_t produced,
                                           size_t lastSize) override {
        return gzipSource(std::move(rest), name_, true, produced, lastSize != 0);
    }
    ssize_t atEnd(size_t lastSize) override {
        if (lastSize != 0) return failWith(name_ + ": truncated BGZF data (no end-of-file block)");
        return 0;
    }

    static bool inflateBlock(Unit& b) {
        const uint8_t* p = reinterpret_cast<const uint8_t*>(b.in.data());
        const size_t size = b.in.size();
        const uint32_t crc = le32(p + size - 8), length = le32(p + size - 4);
        if (length > maxBlock) return false;
        b.outSize = length;
        inflate_state state;
        isal_inflate_init(&state);
        state.crc_flag = ISAL_DEFLATE;
        state.next_in = const_cast<uint8_t*>(p + headerSize);
        state.avail_in = static_cast<uint32_t>(size - headerSize - trailerSize);
        state.next_out = reinterpret_cast<uint8_t*>(b.out.get());
        state.avail_out = length;
        if (isal_inflate_stateless(&state) != ISAL_DECOMP_OK || state.avail_in != 0 ||
            state.total_out != length)
            return false;
        return crc32_gzip_refl(0, reinterpret_cast<const uint8_t*>(b.out.get()), length) == crc;
    }
};

// The libdeflate level of each gzip level above 1 (level 1 is ISA-L's
// own, below; 0 stores). Lists of k-mers, what these tools write, come out
// larger from libdeflate's level 2 than from ISA-L's level 1, and from its
// 6 to 9 than from its 5 (by about 1%, at two to nine times the time), so
// those are skipped: the sizes never grow with the level and the time
// always does or stays.
constexpr int libdeflateLevel[10] = {0, 1, 3, 4, 5, 5, 5, 10, 11, 12};

// Every block is compressed on its own, at level 1 by ISA-L (placed as
// FastDeflate says), at the others by libdeflate, whose bytes depend on
// nothing but the block and the level; blocks are compressed on the pool's
// threads and written in order by the writing thread.
class BgzfSink : public ByteSink {
  public:
    BgzfSink(int fd, int level, TaskPool& pool)
        : fd_(fd),
          level_(level),
          depth_(pool.threads() > 0 ? 2 * size_t(pool.threads()) + 2 : 1),
          blocks_(pool) {}
    int write(const char* data, size_t n) override {
        while (n > 0) {
            Block& b = blocks_.next();
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
        if (blocks_.next().inSize != 0)
            if (int err = submit()) return err;
        while (!blocks_.empty())
            if (int err = writeOldest()) return err;
        // The end-of-file block: an empty member.
        uint8_t eof[headerSize + 2 + trailerSize] = {};
        std::memcpy(eof, header, sizeof header);
        eof[16] = sizeof eof - 1;
        eof[18] = 3;  // a final block of fixed codes holding only its end
        return writeAll(fd_, reinterpret_cast<const char*>(eof), sizeof eof);
    }

  private:
    struct Block {
        std::unique_ptr<uint8_t[]> in{new uint8_t[blockInput]}, out{new uint8_t[maxBlock]};
        size_t inSize = 0, outSize = 0;
    };

    // Hands the block being filled on to be compressed, writing the oldest
    // first when every slot is taken.
    int submit() {
        blocks_.submit([this](Block& b) { compress(b); });
        return blocks_.size() == depth_ ? writeOldest() : 0;
    }
    // Writes the oldest block once it is compressed.
    int writeOldest() {
        Block& b = blocks_.oldest();
        const int err = writeAll(fd_, reinterpret_cast<const char*>(b.out.get()), b.outSize);
        b.inSize = 0;
        blocks_.release();
        return err;
    }
    // The member of one block: header, deflate data (stored when it does
    // not shrink), CRC-32 and length.
    void compress(Block& b) const {
        const size_t n = b.inSize;
        uint8_t* in = b.in.get();
        uint8_t* out = b.out.get();
        uint8_t* data = out + headerSize;
        const size_t room = maxBlock - headerSize - trailerSize;
        size_t size;
        if (level_ == 1) {
            thread_local std::unique_ptr<FastDeflate> fast;
            if (!fast) fast = std::make_unique<FastDeflate>();
            size = (*fast)(in, n, data, room);
        } else {
            // One compressor per thread and level, kept for the thread's life.
            struct Compressors {
                libdeflate_compressor* at[13] = {};
                ~Compressors() {
                    for (auto* c : at) libdeflate_free_compressor(c);
                }
            };
            thread_local Compressors compressors;
            const int level = libdeflateLevel[level_];
            libdeflate_compressor*& c = compressors.at[level];
            if (!c) c = libdeflate_alloc_compressor(level);
            if (!c) throw std::bad_alloc();
            size = libdeflate_deflate_compress(c, in, n, data, room);
        }
        if (size == 0) {  // one stored block, when deflate does not shrink it
            data[0] = 1;
            data[1] = static_cast<uint8_t>(n), data[2] = static_cast<uint8_t>(n >> 8);
            data[3] = static_cast<uint8_t>(~n), data[4] = static_cast<uint8_t>(~n >> 8);
            std::memcpy(data + 5, in, n);
            size = 5 + n;
        }
        std::memcpy(out, header, sizeof header);
        const size_t total = headerSize + size + trailerSize;
        out[16] = static_cast<uint8_t>(total - 1), out[17] = static_cast<uint8_t>((total - 1) >> 8);
        const uint32_t crc = crc32_gzip_refl(0, in, n);
        uint8_t* tail = data + size;
        for (int i = 0; i < 4; ++i) {
            tail[i] = static_cast<uint8_t>(crc >> (8 * i));
            tail[4 + i] = static_cast<uint8_t>(n >> (8 * i));
        }
        b.outSize = total;
    }

    int fd_;
    int level_;
    size_t depth_;  // blocks in flight at most
    OrderedPipeline<Block> blocks_;
};

}  // namespace

uint32_t FastDeflate::keyOf(const void* state) {
    // CRC-32C from 0, not inverted, of bits 16 to 47 as four bytes, lowest
    // first: what the crc32 instruction makes of them.
    const uint64_t bits = reinterpret_cast<uintptr_t>(state) >> 16;
    unsigned char bytes[4];
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(bits >> (8 * i));
    return crc32_iscsi(bytes, 4, 0) & 0xFFFF;
}

FastDeflate::FastDeflate(uint32_t key) : level_(new uint8_t[ISAL_DEF_LVL1_DEFAULT]) {
    // Near where the system would map it, below it and then above it, the
    // first free place with the key: one in 65536 places of 64 KiB has it,
    // so a few GiB away. (A system that takes the address as a hint only
    // gives it when it is free, as the flag asks.)
    void* hint =
        mmap(nullptr, stateSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (hint == MAP_FAILED) throw std::bad_alloc();
    munmap(hint, stateSize);
    const uintptr_t start = reinterpret_cast<uintptr_t>(hint) >> 16, lowest = 256,
                    highest = (uintptr_t{1} << 31) - 2;  // below 2^47
    for (const int step : {-1, 1}) {
        uintptr_t place = start;
        for (int tries = 0; tries < 64 && place > lowest && place < highest;) {
            place += static_cast<uintptr_t>(step);
            void* want = reinterpret_cast<void*>(place << 16);
            if (keyOf(want) != key) continue;
            ++tries;
            void* got = mmap(want, stateSize, PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
            if (got == want) {
                state_ = got;
                return;
            }
            if (got != MAP_FAILED) munmap(got, stateSize);
        }
    }
    throw std::bad_alloc();
}

FastDeflate::~FastDeflate() {
    munmap(state_, stateSize);
}

size_t FastDeflate::operator()(const uint8_t* in, size_t n, uint8_t* out, size_t room) {
    isal_zstream& s = *static_cast<isal_zstream*>(state_);
    // The fields a caller sets (the init leaves some, such as hist_bits, as
    // they are); the init and the deflate set the rest and the level buffer.
    std::memset(&s, 0, offsetof(isal_zstream, internal_state));
    isal_deflate_stateless_init(&s);
    s.level = 1;
    s.level_buf = level_.get();
    s.level_buf_size = ISAL_DEF_LVL1_DEFAULT;
    s.next_in = const_cast<uint8_t*>(in);
    s.avail_in = static_cast<uint32_t>(n);
    s.end_of_stream = 1;
    s.next_out = out;
    s.avail_out = static_cast<uint32_t>(room);
    if (isal_deflate_stateless(&s) != COMP_OK || s.avail_in != 0) return 0;
    return s.total_out;
}

size_t bgzfBlockSize(const uint8_t* p, size_t n) {
    if (n < 12 || !(p[3] & 4)) return 0;  // no FEXTRA
    const size_t extraEnd = std::min(n, 12 + size_t{p[10]} + (size_t{p[11]} << 8));
    for (size_t at = 12; at + 4 <= extraEnd; at += 4 + p[at + 2] + (size_t{p[at + 3]} << 8))
        if (p[at] == 'B' && p[at + 1] == 'C' && p[at + 2] == 2 && p[at + 3] == 0 &&
            at + 6 <= extraEnd)
            return size_t{p[at + 4]} + (size_t{p[at + 5]} << 8) + 1;
    return 0;
}

std::unique_ptr<ByteSource> bgzfSource(std::unique_ptr<ByteSource> raw, std::string name,
                                       TaskPool& pool) {
    return std::make_unique<BgzfSource>(std::move(raw), std::move(name), pool);
}

std::unique_ptr<ByteSink> bgzfSink(int fd, int level, TaskPool& pool) {
    return std::make_unique<BgzfSink>(fd, level, pool);
}
