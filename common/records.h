// Reading the records of an input, one per line, on one thread or several,
// with the same results and the same messages either way.
//
// With extra threads the input is cut into chunks of whole lines, each
// chunk read by a worker into a result, and the results handed back in
// input order. A plain regular file is cut by the workers themselves: each
// reads its own byte range with pread and takes the lines that begin in it.
// Any other input (compressed data, pipes) is read by the calling thread
// and cut at line ends into chunks held in memory.
#pragma once

#include <sys/types.h>

#include <cinttypes>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "failure.h"
#include "lines.h"
#include "ordered_pipeline.h"
#include "source.h"
#include "task_pool.h"

// Fails the run after a failed read: "NAME:LINE: line longer than 256 MiB",
// "cannot read 'NAME': reason", or what is wrong with the data.
[[noreturn]] void failRead(const LineReader& reader, const char* name);
[[noreturn]] void failSource(const ByteSource& source, const char* name, int error);

// "line longer than 256 MiB", for a reader that stopped at such a line.
std::string lineTooLong(const LineReader& reader);

// To be called before a record error at the reader's current line is
// reported: when the data came through a decompressor and the rest of its
// member or frame is damaged, fails the run with that damage instead.
void failIfDamaged(LineReader& reader, const char* name);
// The same for a record error whose line ends `offset` bytes into `source`.
void failIfDamagedAt(ByteSource& source, uint64_t offset, const char* name);

// How the records of an input are read.
struct RecordThreads {
    TaskPool* pool = nullptr;                         // the run's threads; none without
    size_t chunkSize = size_t{1} << 20;               // bytes of a chunk, about
    size_t bufferSize = LineReader::defaultCapacity;  // of the reader on one thread
    // In chunks whenever there are workers, even where one thread is
    // quicker (for tests of the chunks themselves).
    bool alwaysChunks = false;
    int workers() const { return pool ? pool->threads() : 0; }
};

// The first bad record of a chunk: its line (from 1 in the chunk, 0 for
// none), the bytes of the chunk up to its end (0 for a line too long, which
// is reported as such without looking further), and what is wrong.
struct RecordError {
    uint64_t line = 0;
    uint64_t offset = 0;
    std::string what;
};

// Whether reading the records of `in` in chunks on the workers pays: for a
// plain file read in byte ranges, always. Other inputs are read by the
// calling thread into memory first; on two cores that only adds a copy (the
// decoding of compressed data, or the pipe, being the slower step), so only
// with more cores, which then parse while others decode.
bool recordsInChunks(ByteSource& in, const RecordThreads& threads);

// Calls record(reader, line, into, what) for each line of the reader, in
// order, `lines` of them at most; it returns false at a bad record, with
// `what` set. Then describes that line in `error` and returns Bad. Returns
// More after `lines` lines, else End at the end of the input or after a
// failed read (reader.error()).
enum class Scan { End, More, Bad };
template <class Into, class Record>
Scan scanLines(LineReader& reader, Into& into, Record& record, RecordError& error,
               uint64_t lines = UINT64_MAX) {
    std::string_view line;
    std::string what;
    while (lines-- > 0) {
        if (!reader.next(line)) return Scan::End;
        if (record(static_cast<const LineReader&>(reader), line, into, what)) continue;
        error = {reader.lineNumber(), reader.offset(), std::move(what)};
        return Scan::Bad;
    }
    return Scan::More;
}

namespace records_detail {

// Whole lines held in memory: the last may lack its newline only at the
// end of the input, or when it is longer than a reader takes. The buffer is
// kept from chunk to chunk and not cleared, so a chunk costs no allocation
// and no page faults.
struct Chunk {
    std::unique_ptr<char[]> text;
    size_t size = 0, capacity = 0;
    void reserve(size_t n);
};

// Cuts an input into chunks of whole lines of about `size` bytes.
class ChunkCutter {
  public:
    ChunkCutter(ByteSource& in, size_t size) : in_(in), size_(size) {}
    // Fills `chunk` with the next lines and sets its offset in the input;
    // false when the input ended with the chunk before. `failure` is the
    // errno of a failed read (the lines before it are in the chunk).
    bool next(Chunk& chunk, uint64_t& offset, int& failure);

  private:
    ByteSource& in_;
    size_t size_;
    std::vector<char> carry_;  // a line begun in the previous read
    uint64_t offset_ = 0;
    bool ended_ = false;
};

// What a range of a plain file held: its lines' offset and size in the
// file's data, and the errno of a failed read.
struct RangeTaken {
    uint64_t offset = 0, size = 0;
    int failure = 0;
};
// Reads with `read` the lines that begin in bytes [from, to) of the data of
// the file at fd (beginning at `base`).
RangeTaken readRange(int fd, uint64_t base, uint64_t from, uint64_t to,
                     const std::function<void(LineReader&)>& read);
// The bytes of the file's data from `base` on.
uint64_t dataSize(int fd, uint64_t base);
// Reads with `read` the lines of a chunk.
void readChunk(const Chunk& chunk, const std::function<void(LineReader&)>& read);

// On merging a chunk that began at `chunkOffset` after `linesBefore` lines:
// fails the run at its bad record, if any, as one thread would, damage in
// the data before it being reported first.
void failAtRecord(ByteSource& in, const char* name, uint64_t chunkOffset, uint64_t linesBefore,
                  const RecordError& error);
// After a chunk's reader stopped early: a line too long for it is the
// chunk's bad record (a failed read is the caller's to report).
void noteLineTooLong(const LineReader& reader, RecordError& error);

}  // namespace records_detail

// Reads the records of `in` (named `name` in messages) with `record` (as
// for scanLines), and fails the run at the first bad record or failed read
// exactly as one thread reading line by line would, after every record
// before it was taken.
//
// `record` adds into a Result, a fresh one for each stretch of lines: on
// one thread, a batch of lines read in turn; with workers, a chunk read on
// one of them. merge(result) gets the results on the calling thread in
// input order. One computation, one type: what a run writes is the same
// whatever the threads. When given, firstLine (as record) takes the
// input's first line instead of record (a header). A merge that takes
// merge(result, linesBefore) also gets the number of lines before the
// stretch, which turns the line numbers the records saw into the input's.
inline constexpr uint64_t recordBatch = 16384;  // lines of a batch on one thread
template <class Result, class Record, class Merge, class FirstLine = std::nullptr_t>
void readRecords(ByteSource& in, const char* name, const RecordThreads& threads, Record&& plain,
                 Merge&& merge, FirstLine&& firstLine = nullptr) {
    using namespace records_detail;
    constexpr bool header = !std::is_same_v<std::decay_t<FirstLine>, std::nullptr_t>;
    const auto mergeAfter = [&merge](Result& result, uint64_t linesBefore) {
        if constexpr (std::is_invocable_v<Merge, Result&, uint64_t>)
            merge(result, linesBefore);
        else
            merge(result);
    };
    // On one thread the reader counts the input's lines.
    const auto record = [&](const LineReader& reader, std::string_view line, Result& into,
                            std::string& what) {
        if constexpr (header)
            if (reader.lineNumber() == 1) return firstLine(reader, line, into, what);
        return plain(reader, line, into, what);
    };
    if (!recordsInChunks(in, threads)) {
        LineReader reader(in, 0, threads.bufferSize, true);
        RecordError error;
        Result result{};
        Scan scan;
        // The reader counts the lines of the whole input.
        while ((scan = scanLines(reader, result, record, error, recordBatch)) == Scan::More) {
            mergeAfter(result, 0);
            result = Result{};
        }
        mergeAfter(result, 0);
        if (scan == Scan::End && !reader.error()) return;
        if (!error.line) failRead(reader, name);
        failIfDamaged(reader, name);
        fail("%s:%" PRIu64 ": %s", name, error.line, error.what.c_str());
    }

    struct Job {
        Chunk chunk;  // in memory, unless the job reads a range of the file
        uint64_t from = 0, to = 0;
        RangeTaken taken;  // of the input: its lines' offset and size, a failed read
        uint64_t lines = 0;
        bool first = false;  // the stretch starts the input
        RecordError error;
        Result result{};
    };
    OrderedPipeline<Job> jobs(*threads.pool);
    uint64_t linesBefore = 0;
    int failure = 0;
    auto mergeOldest = [&] {
        Job& job = jobs.oldest();
        if (!failure) {
            mergeAfter(job.result, linesBefore);
            failAtRecord(in, name, job.taken.offset, linesBefore, job.error);
            linesBefore += job.lines;
            in.tookRanges(job.taken.size);
            failure = job.taken.failure;
        }
        jobs.release();
    };
    auto nextJob = [&]() -> Job& {
        Job& job = jobs.next();
        job.result = Result{};
        job.error = RecordError{};
        job.taken = RangeTaken{};
        return job;
    };
    const auto readLines = [&](Job& job) {
        return [&](LineReader& reader) {
            // The job's own view of whether its stretch starts the input.
            const auto jobRecord = [&](const LineReader& r, std::string_view line, Result& into,
                                       std::string& what) {
                if constexpr (header)
                    if (r.lineNumber() == 1 && job.first) return firstLine(r, line, into, what);
                return plain(r, line, into, what);
            };
            if (scanLines(reader, job.result, jobRecord, job.error) != Scan::Bad)
                noteLineTooLong(reader, job.error);
            job.lines = reader.lineNumber();
        };
    };
    auto start = [&](auto task) {
        jobs.submit(task);
        if (jobs.size() > static_cast<size_t>(threads.workers()) + 1) mergeOldest();
    };

    int fd;
    uint64_t base;
    if (in.rangeFile(fd, base)) {
        const uint64_t size = dataSize(fd, base);
        // The last range reaches to wherever the file ends when it is read.
        for (uint64_t from = 0; !failure; from += threads.chunkSize) {
            const bool last = size - std::min(size, from) <= threads.chunkSize;
            Job& job = nextJob();
            job.from = from;
            job.first = from == 0;
            job.to = last ? UINT64_MAX : from + threads.chunkSize;
            start([readLines, fd, base](Job& j) {
                j.taken = readRange(fd, base, j.from, j.to, readLines(j));
            });
            if (last) break;
        }
    } else {
        ChunkCutter cutter(in, threads.chunkSize);
        while (!failure) {
            Job& job = nextJob();
            if (!cutter.next(job.chunk, job.taken.offset, job.taken.failure)) break;
            job.first = job.taken.offset == 0;
            start([readLines](Job& j) { readChunk(j.chunk, readLines(j)); });
        }
    }
    while (!jobs.empty()) mergeOldest();
    if (failure) failSource(in, name, failure);
}
