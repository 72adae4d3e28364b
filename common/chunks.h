// Record work on several threads: an input cut into chunks of whole lines,
// each chunk read by a worker into a result, the results handed back in
// input order, so that what a run writes and which record a message names
// are the same as when one thread reads the lines one by one.
//
// A plain regular file is cut by the workers themselves: each reads its own
// byte range with pread and takes the lines that begin in it, so that the
// reading, too, is shared. Any other input (compressed data, pipes) is read
// by the calling thread and cut at line ends into chunks held in memory.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "byte_source.h"
#include "lines.h"
#include "task_pool.h"
#include "tool.h"

// A reader's buffer for the lines of a chunk: small, so that it is reused
// from the heap rather than mapped anew for every chunk.
inline constexpr size_t chunkReaderCapacity = size_t{64} << 10;

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

// Whole lines held in memory: the last may lack its newline only at the
// end of the input, or when it is longer than a reader takes.
struct Chunk {
    // The text is text[0, size); the buffer is kept from chunk to chunk and
    // not cleared, so a chunk costs no allocation and no page faults.
    std::unique_ptr<char[]> text;
    size_t size = 0, capacity = 0;

    void reserve(size_t n) {
        if (n <= capacity) return;
        std::unique_ptr<char[]> bigger(new char[n]);
        if (size) std::memcpy(bigger.get(), text.get(), size);
        text = std::move(bigger);
        capacity = n;
    }
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

// The first bad record of a chunk: its line (from 1 in the chunk, 0 for
// none), the bytes of the chunk up to its end (0 for a line too long, which
// is reported as such without looking further), and what is wrong.
struct RecordError {
    uint64_t line = 0;
    uint64_t offset = 0;
    std::string what;
};

// After a chunk's reader stopped early: a line too long for it is the
// chunk's bad record (a failed read is forEachChunk's to report).
inline void noteLineTooLong(const LineReader& reader, RecordError& error) {
    if (!error.line && reader.tooLong()) error = {reader.lineNumber() + 1, 0, lineTooLong(reader)};
}

// On merging a chunk that began at `chunkOffset` after `linesBefore` lines:
// fails the run at its bad record, if any, as one thread would, damage in
// the data before it being reported first.
inline void failAtRecord(ByteSource& in, const char* name, uint64_t chunkOffset,
                         uint64_t linesBefore, const RecordError& error) {
    if (!error.line) return;
    if (error.offset) failIfDamagedAt(in, chunkOffset + error.offset, name);
    fail("%s:%" PRIu64 ": %s", name, linesBefore + error.line, error.what.c_str());
}

// Whether reading the records of `in` in chunks on the extra threads pays:
// for a plain file read in byte ranges, always. Other inputs are read by
// the calling thread into memory first; on two cores that only adds a copy
// (the decoding of compressed data, or the pipe, being the slower step), so
// only with more cores, which then parse while others decode.
inline bool recordsInChunks(ByteSource& in, int workers) {
    int fd;
    uint64_t start;
    return workers > 0 && (in.rangeFile(fd, start) || TaskPool::usableCores() > 2);
}

// Reads `in` in chunks of whole lines of about `chunkSize` bytes. `work`
// (LineReader&, Result&) reads a chunk's lines, with field masks, on one
// of `workers` threads or the calling one; `merge` (uint64_t offset,
// Result&) gets every result on the calling thread, in input order, with
// the offset of its chunk in the input; `merge` may end the run. Returns
// 0, or the errno of a failed read (then `in` says what failed, when it
// can), after merging every chunk up to the failure.
template <class Result, class Work, class Merge>
int forEachChunk(ByteSource& in, int workers, size_t chunkSize, Work&& work, Merge&& merge) {
    struct Job {
        Chunk chunk;  // in memory, unless the job reads a range of the file
        uint64_t from = 0, to = 0;
        uint64_t offset = 0, size = 0;  // of its lines in the input
        int failure = 0;
        Result result{};
        TaskPool::Done done;
    };
    std::deque<std::unique_ptr<Job>> inFlight;  // in input order
    std::vector<std::unique_ptr<Job>> spare;    // merged, kept for their buffers
    TaskPool pool(workers);                     // stopped before the jobs go
    int failure = 0;
    auto mergeOldest = [&] {
        Job& job = *inFlight.front();
        pool.wait(job.done);
        if (!failure) {
            merge(job.offset, job.result);
            in.tookRanges(job.size);
            failure = job.failure;
        }
        spare.push_back(std::move(inFlight.front()));
        inFlight.pop_front();
    };
    auto nextJob = [&] {
        if (spare.empty()) return std::make_unique<Job>();
        std::unique_ptr<Job> job = std::move(spare.back());
        spare.pop_back();
        job->result = Result{};
        job->failure = 0;
        job->size = 0;
        return job;
    };
    auto start = [&](std::unique_ptr<Job> job, auto&& task) {
        Job* j = job.get();
        inFlight.push_back(std::move(job));
        pool.submit([j, task] { task(*j); }, j->done);
        if (inFlight.size() > static_cast<size_t>(workers) + 1) mergeOldest();
    };

    int fd;
    uint64_t base;
    if (in.rangeFile(fd, base)) {
        struct stat info;
        const uint64_t size = fstat(fd, &info) == 0 && static_cast<uint64_t>(info.st_size) > base
                                  ? static_cast<uint64_t>(info.st_size) - base
                                  : 0;
        // The last range reaches to wherever the file ends when it is read.
        for (uint64_t from = 0; !failure; from += chunkSize) {
            const bool last = size - std::min(size, from) <= chunkSize;
            std::unique_ptr<Job> job = nextJob();
            job->from = from;
            job->to = last ? UINT64_MAX : from + chunkSize;
            start(std::move(job), [&, fd, base](Job& j) {
                RangeSource range(fd, base, j.from, j.to);
                LineReader reader(range, 0, chunkReaderCapacity, true);
                work(reader, j.result);
                j.offset = range.begin();
                j.size = range.end() - range.begin();
                j.failure = range.errorNumber();
            });
            if (last) break;
        }
        while (!inFlight.empty()) mergeOldest();
        return failure;
    }

    std::vector<char> carry;  // a line begun in the previous read
    uint64_t offset = 0;
    bool ended = false;
    while (!ended && !failure) {
        std::unique_ptr<Job> job = nextJob();
        Chunk& chunk = job->chunk;
        chunk.size = 0;  // nothing of a reused chunk's text is kept
        chunk.reserve(std::max(chunkSize, carry.size() + chunkSize / 4));
        if (!carry.empty()) std::memcpy(chunk.text.get(), carry.data(), carry.size());
        size_t filled = carry.size();
        bool newline = false;  // read since the carried line began
        int readFailure = 0;
        // Reads until the chunk holds a newline past its first line, the
        // input ends, or the line is longer than any reader takes.
        for (;;) {
            const ssize_t got = in.read(chunk.text.get() + filled, chunk.capacity - filled);
            if (got <= 0) {
                ended = true;
                readFailure = got < 0 ? (in.errorNumber() ? in.errorNumber() : EIO) : 0;
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
        // The chunk ends after its last newline; the line begun after it
        // goes on in the next chunk. At the end of the input the last line
        // needs no newline, but after a failed read it is not read at all.
        const char* text = chunk.text.get();
        size_t cut = filled;
        if (readFailure || !ended) {
            const char* p = text + filled;
            while (p != text && p[-1] != '\n') --p;
            if (p != text || readFailure) cut = static_cast<size_t>(p - text);
        }
        carry.assign(text + cut, text + filled);
        chunk.size = cut;
        job->offset = offset;
        job->failure = readFailure;
        offset += cut;
        if (cut == 0 && !readFailure) break;
        start(std::move(job), [&](Job& j) {
            ChunkSource source(j.chunk);
            LineReader reader(source, 0, chunkReaderCapacity, true);
            work(reader, j.result);
        });
    }
    while (!inFlight.empty()) mergeOldest();
    return failure;
}
