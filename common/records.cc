#include "records.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "task_pool.h"

std::string lineTooLong(const LineReader& reader) {
    const size_t max = reader.maxLine();
    return "line longer than " + std::to_string(max >> 20 ? max >> 20 : max) +
           (max >> 20 ? " MiB" : " bytes");
}

void failRead(const LineReader& reader, const char* name) {
    if (reader.tooLong())
        fail("%s:%" PRIu64 ": %s", name, reader.lineNumber() + 1, lineTooLong(reader).c_str());
    failSource(reader.source(), name, reader.error());
}

void failSource(const ByteSource& source, const char* name, int error) {
    if (!source.problem().empty()) fail("%s", source.problem().c_str());
    fail("cannot read '%s': %s", name, std::strerror(error));
}

void failIfDamaged(LineReader& reader, const char* name) {
    failIfDamagedAt(reader.source(), reader.offset(), name);
}

void failIfDamagedAt(ByteSource& source, uint64_t offset, const char* name) {
    if (!source.verifyThrough(offset)) failSource(source, name, source.errorNumber());
}

bool recordsInChunks(ByteSource& in, const RecordThreads& threads) {
    int fd;
    uint64_t start;
    return threads.workers() > 0 &&
           (threads.alwaysChunks || in.rangeFile(fd, start) || TaskPool::usableCores() > 2);
}

namespace records_detail {

namespace {

// A reader's buffer for the lines of a chunk: small, so that it is reused
// from the heap rather than mapped anew for every chunk.
constexpr size_t chunkReaderCapacity = size_t{64} << 10;

// The lines of a plain file that begin in bytes [from, to) of its data,
// read with pread: from the first line that begins there through the
// newline of the line that holds byte to - 1 (or the end of the file).
// Chunks that tile the file thus hold each line exactly once.
class RangeSource : public ByteSource {
  public:
    RangeSource(int fd, uint64_t base, uint64_t from, uint64_t to)
        : fd_(fd), base_(base), at_(from), to_(to) {}
    ssize_t read(char* dst, size_t n) override {
        if (!started_) {
            started_ = true;
            if (at_ > 0 && !skipToLineStart()) return errno_ ? -1 : 0;
            begin_ = at_;
        }
        if (done_) return 0;
        // Up to the range's end in full reads; past it, only the rest of
        // one line is wanted.
        n = std::min<uint64_t>(n, at_ < to_ ? to_ - at_ : 4096);
        const ssize_t got = readAt(dst, n, at_);
        if (got <= 0) {
            done_ = true;
            return got;
        }
        size_t kept = static_cast<size_t>(got);
        if (at_ + kept >= to_) {
            const size_t from = at_ + 1 >= to_ ? 0 : static_cast<size_t>(to_ - 1 - at_);
            if (const void* nl = std::memchr(dst + from, '\n', kept - from)) {
                kept = static_cast<size_t>(static_cast<const char*>(nl) - dst) + 1;
                done_ = true;
            }
        }
        at_ += kept;
        return static_cast<ssize_t>(kept);
    }
    // Offset in the file's data of the first line taken.
    uint64_t begin() const { return begin_; }
    uint64_t end() const { return at_; }

  private:
    ssize_t readAt(char* dst, size_t n, uint64_t at) {
        for (;;) {
            const ssize_t got = ::pread(fd_, dst, n, static_cast<off_t>(base_ + at));
            if (got >= 0) return got;
            if (errno != EINTR) return failWith(errno);
        }
    }
    // Moves at_ just past the first newline at or after at_ - 1, when that
    // is before to_; else the range holds no line start and is done.
    bool skipToLineStart() {
        char scratch[16384];
        uint64_t at = at_ - 1;
        while (at + 1 < to_) {
            const ssize_t got =
                readAt(scratch, std::min<uint64_t>(sizeof scratch, to_ - 1 - at), at);
            if (got <= 0) break;
            if (const void* nl = std::memchr(scratch, '\n', static_cast<size_t>(got))) {
                at_ = at + static_cast<uint64_t>(static_cast<const char*>(nl) - scratch) + 1;
                return true;
            }
            at += static_cast<uint64_t>(got);
        }
        done_ = true;
        return false;
    }

    int fd_;
    uint64_t base_, at_, to_, begin_ = 0;
    bool started_ = false, done_ = false;
};

// A chunk's lines as a byte source, for a LineReader.
class ChunkSource : public ByteSource {
  public:
    explicit ChunkSource(const Chunk& chunk) : chunk_(chunk) {}
    ssize_t read(char* dst, size_t n) override {
        const size_t take = std::min(n, chunk_.size - at_);
        std::memcpy(dst, chunk_.text.get() + at_, take);
        at_ += take;
        return static_cast<ssize_t>(take);
    }

  private:
    const Chunk& chunk_;
    size_t at_ = 0;
};

}  // namespace

void Chunk::reserve(size_t n) {
    if (n <= capacity) return;
    std::unique_ptr<char[]> bigger(new char[n]);
    if (size) std::memcpy(bigger.get(), text.get(), size);
    text = std::move(bigger);
    capacity = n;
}

bool ChunkCutter::next(Chunk& chunk, uint64_t& offset, int& failure) {
    if (ended_) return false;
    chunk.size = 0;  // nothing of a reused chunk's text is kept
    chunk.reserve(std::max(size_, carry_.size() + size_ / 4));
    if (!carry_.empty()) std::memcpy(chunk.text.get(), carry_.data(), carry_.size());
    size_t filled = carry_.size();
    bool newline = false;  // read since the carried line began
    failure = 0;
    // Reads until the chunk holds a newline past its first line, the input
    // ends, or the line is longer than any reader takes.
    for (;;) {
        const ssize_t got = in_.read(chunk.text.get() + filled, chunk.capacity - filled);
        if (got <= 0) {
            ended_ = true;
            failure = got < 0 ? (in_.errorNumber() ? in_.errorNumber() : EIO) : 0;
            break;
        }
        const char* fresh = chunk.text.get() + filled;
        filled += static_cast<size_t>(got);
        newline = newline || std::memchr(fresh, '\n', static_cast<size_t>(got)) != nullptr;
        if (filled == chunk.capacity) {
            if (newline || filled > LineReader::defaultMaxLine) break;
            chunk.size = filled;
            chunk.reserve(chunk.capacity * 2);
        }
    }
    // The chunk ends after its last newline; the line begun after it goes
    // on in the next chunk. At the end of the input the last line needs no
    // newline, but after a failed read it is not read at all.
    const char* text = chunk.text.get();
    size_t cut = filled;
    if (failure || !ended_) {
        const char* p = text + filled;
        while (p != text && p[-1] != '\n') --p;
        if (p != text || failure) cut = static_cast<size_t>(p - text);
    }
    carry_.assign(text + cut, text + filled);
    chunk.size = cut;
    offset = offset_;
    offset_ += cut;
    return cut != 0 || failure != 0;
}

uint64_t dataSize(int fd, uint64_t base) {
    struct stat info;
    return fstat(fd, &info) == 0 && static_cast<uint64_t>(info.st_size) > base
               ? static_cast<uint64_t>(info.st_size) - base
               : 0;
}

RangeTaken readRange(int fd, uint64_t base, uint64_t from, uint64_t to,
                     const std::function<void(LineReader&)>& read) {
    RangeSource range(fd, base, from, to);
    LineReader reader(range, 0, chunkReaderCapacity, true);
    read(reader);
    return {range.begin(), range.end() - range.begin(), range.errorNumber()};
}

void readChunk(const Chunk& chunk, const std::function<void(LineReader&)>& read) {
    ChunkSource source(chunk);
    LineReader reader(source, 0, chunkReaderCapacity, true);
    read(reader);
}

void failAtRecord(ByteSource& in, const char* name, uint64_t chunkOffset, uint64_t linesBefore,
                  const RecordError& error) {
    if (!error.line) return;
    if (error.offset) failIfDamagedAt(in, chunkOffset + error.offset, name);
    fail("%s:%" PRIu64 ": %s", name, linesBefore + error.line, error.what.c_str());
}

void noteLineTooLong(const LineReader& reader, RecordError& error) {
    if (!error.line && reader.tooLong()) error = {reader.lineNumber() + 1, 0, lineTooLong(reader)};
}

}  // namespace records_detail
