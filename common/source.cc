#include "source.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "bgzf.h"
#include "decoders.h"
#include "ordered_pipeline.h"

ssize_t ByteSource::failWith(std::string problem) {
    problem_ = std::move(problem);
    errno_ = EIO;
    return -1;
}

ssize_t KeptBytes::read(char* dst, size_t n) {
    if (at_ < kept_.size()) {
        const size_t take = std::min(n, kept_.size() - at_);
        std::memcpy(dst, kept_.data() + at_, take);
        at_ += take;
        handedOut_ += take;
        if (countKept_) consumed_ += take;
        if (at_ == kept_.size()) std::string().swap(kept_), at_ = 0;
        return static_cast<ssize_t>(take);
    }
    if (ended_) return 0;  // the end stays the end
    const uint64_t before = inner_->consumed();
    const ssize_t got = inner_->read(dst, n);
    if (got < 0) return failLike(*inner_);
    consumed_ += inner_->consumed() - before;
    handedOut_ += static_cast<uint64_t>(got);
    ended_ = got == 0;
    return got;
}

namespace {

// How much of compressed data is decoded when it is opened: enough to find
// a bad header, and to check a small input whole.
constexpr size_t primeSize = size_t{16} << 10;

// Reads from a descriptor.
class FdSource : public ByteSource {
  public:
    // `start` is the file offset of its data when the file is regular and
    // may be read in ranges, else -1.
    explicit FdSource(int fd, off_t start = -1) : fd_(fd), start_(start) {}
    bool rangeFile(int& fd, uint64_t& start) override {
        if (start_ < 0 || consumed_ != 0) return false;
        fd = fd_;
        start = static_cast<uint64_t>(start_);
        return true;
    }
    ssize_t read(char* dst, size_t n) override {
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
    off_t start_;
};

// Runs another source on the pool's threads, which fill a few buffers
// ahead of the reader, one read after another: each read takes its turn
// by a ticket, so that the reads are in order whichever thread runs them.
// The buffers are freed at the end of the data, so that of several inputs
// read one after another only one holds them.
class ReadAhead : public WrappingSource {
  public:
    ReadAhead(std::unique_ptr<ByteSource> inner, TaskPool& pool)
        : WrappingSource(std::move(inner)), pool_(pool) {}
    ~ReadAhead() override { stopReading(); }
    bool verifyThrough(uint64_t offset) override {
        // The reads have gone ahead of the reader, perhaps into a failure:
        // the source they read from says where that lies.
        stopReading();
        return WrappingSource::verifyThrough(offset);
    }
    ssize_t read(char* dst, size_t n) override {
        for (;;) {
            if (finished_) return failed_ ? failLike(*inner_) : 0;
            // The reader only waits: its own work is the records.
            if (!buffers_) buffers_ = std::make_unique<OrderedPipeline<Buffer>>(pool_, false);
            while (buffers_->size() < depth) fill();
            Buffer& b = buffers_->oldest();
            if (b.size <= 0) {
                finished_ = true;
                failed_ = b.size < 0;
                stopReading();
                continue;
            }
            const size_t take = std::min(n, static_cast<size_t>(b.size) - b.used);
            std::memcpy(dst, b.data.data() + b.used, take);
            b.used += take;
            consumed_ = b.consumed;
            if (b.used == static_cast<size_t>(b.size)) buffers_->release();
            return static_cast<ssize_t>(take);
        }
    }

  private:
    struct Buffer {
        std::vector<char> data;
        ssize_t size = 0;
        size_t used = 0;
        uint64_t consumed = 0;
    };
    static constexpr size_t depth = 3;
    static constexpr size_t bufferSize = size_t{128} << 10;

    // Only the read whose ticket has its turn touches the inner source and
    // `innerDone_`; none follows the end or a failure.
    void fill() {
        buffers_->next();
        const uint64_t ticket = issued_++;
        buffers_->submit([this, ticket](Buffer& b) {
            std::unique_lock<std::mutex> lock(turnMutex_);
            turnChanged_.wait(lock, [&] { return turn_ == ticket || stopping_; });
            if (turn_ != ticket) return;  // stopped: an earlier read never ran
            lock.unlock();
            struct Next {  // the next ticket's turn, however this read ends
                ReadAhead& r;
                ~Next() {
                    std::lock_guard<std::mutex> lock(r.turnMutex_);
                    ++r.turn_;
                    r.turnChanged_.notify_all();
                }
            } next{*this};
            b.used = 0;
            if (innerDone_) {
                b.size = 0;
                return;
            }
            b.data.resize(bufferSize);
            b.size = inner_->read(b.data.data(), b.data.size());
            b.consumed = inner_->consumed();
            innerDone_ = b.size <= 0;
        });
    }
    // Takes back the reads not started and waits for the others; a read
    // waiting for a turn that will not come (its predecessor taken back)
    // gives up.
    void stopReading() {
        {
            std::lock_guard<std::mutex> lock(turnMutex_);
            stopping_ = true;
        }
        turnChanged_.notify_all();
        buffers_.reset();
        std::lock_guard<std::mutex> lock(turnMutex_);
        stopping_ = false;
        turn_ = issued_;
    }

    TaskPool& pool_;
    std::unique_ptr<OrderedPipeline<Buffer>> buffers_;
    bool finished_ = false, failed_ = false;
    bool innerDone_ = false;
    uint64_t issued_ = 0, turn_ = 0;  // tickets handed out, and the one whose turn it is
    bool stopping_ = false;
    std::mutex turnMutex_;
    std::condition_variable turnChanged_;
};

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

}  // namespace

std::unique_ptr<ByteSource> plainSource(int fd) {
    return std::make_unique<FdSource>(fd);
}

std::unique_ptr<ByteSource> readAhead(std::unique_ptr<ByteSource> inner, TaskPool& pool) {
    return std::make_unique<ReadAhead>(std::move(inner), pool);
}

std::unique_ptr<ByteSource> openSource(int fd, const char* name, TaskPool& pool,
                                       std::string* problem, const char* pipeReader) {
    const int threads = pool.threads();
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
    const bool gzip = got >= 2 && head[0] == '\x1f' && head[1] == '\x8b';
    const bool zstd = !gzip && isZstd(head);
    if (!gzip && !zstd && std::memchr(head.data(), '\0', head.size()))
        return refuse(std::string(name) + ": binary data, not text");
    // BGZF blocks and zstd frames are decoded on the threads themselves.
    const bool blocks =
        gzip && threads > 0 && isBgzfHeader(reinterpret_cast<const uint8_t*>(head.data()), got);
    const bool frames = zstd && threads > 0 && manyZstdFrames(head);
    auto raw = std::make_unique<KeptBytes>(
        std::move(head), std::make_unique<FdSource>(fd, gzip || zstd ? -1 : start), true);
    std::unique_ptr<ByteSource> source;
    if (blocks)
        source = bgzfSource(std::move(raw), name, pool);
    else if (frames)
        source = zstdFramesSource(std::move(raw), name, pool);
    else if (gzip)
        source = gzipSource(std::move(raw), name);
    else if (zstd)
        source = zstdSource(std::move(raw), name);
    else
        return raw;
    // The first bytes are decoded now, so that undecodable data fails the
    // run before any output exists (and a small input is checked whole).
    std::string first(primeSize, '\0');
    const ssize_t size = source->read(first.data(), first.size());
    if (size < 0) {
        return refuse(source->problem().empty() ? std::string("cannot read '") + name +
                                                      "': " + std::strerror(source->errorNumber())
                                                : source->problem());
    }
    first.resize(static_cast<size_t>(size));
    auto primed = std::make_unique<KeptBytes>(std::move(first), std::move(source));
    if (threads > 0 && !blocks && !frames) return readAhead(std::move(primed), pool);
    return primed;
}
