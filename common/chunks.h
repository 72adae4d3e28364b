// Record work on several threads: an input cut into chunks of whole lines,
// each chunk read by a worker into a result, the results handed back in
// input order, so that what a run writes and which record a message names
// are the same as when one thread reads the lines one by one.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "byte_source.h"
#include "lines.h"
#include "task_pool.h"

// Whole lines of an input: the last may lack its newline only at the end
// of the input, or when it is longer than a reader takes.
struct Chunk {
    // The text is text[0, size); the buffer is kept from chunk to chunk and
    // not cleared, so a chunk costs no allocation and no page faults.
    std::unique_ptr<char[]> text;
    size_t size = 0, capacity = 0;
    uint64_t offset = 0;  // bytes of the input before it

    void reserve(size_t n) {
        if (n <= capacity) return;
        std::unique_ptr<char[]> bigger(new char[n]);
        if (size) std::memcpy(bigger.get(), text.get(), size);
        text = std::move(bigger);
        capacity = n;
    }
};

// A reader's buffer for the lines of a chunk: small, so that it is reused
// from the heap rather than mapped anew for every chunk.
inline constexpr size_t chunkReaderCapacity = size_t{64} << 10;

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
// none), the bytes of the chunk up to its end, and what is wrong.
struct RecordError {
    uint64_t line = 0;
    uint64_t offset = 0;
    std::string what;
};

// Reads `in` in chunks of whole lines of about `chunkSize` bytes; `work`
// (Chunk&, Result&) runs on `workers` threads, and `merge` (Chunk&,
// Result&) gets every chunk with its result on the calling thread, in input
// order; `merge` may end the run. Returns 0, or the errno of a failed read
// (then `in` says what failed), after merging every chunk read before it.
template <class Result, class Work, class Merge>
int forEachChunk(ByteSource& in, int workers, size_t chunkSize, Work&& work, Merge&& merge) {
    struct Job {
        Chunk chunk;
        Result result{};
        TaskPool::Done done;
    };
    std::deque<std::unique_ptr<Job>> inFlight;  // in input order
    std::vector<std::unique_ptr<Job>> spare;    // merged, kept for their buffers
    TaskPool pool(workers);                     // stopped before the jobs go
    auto mergeOldest = [&] {
        Job& job = *inFlight.front();
        pool.wait(job.done);
        merge(job.chunk, job.result);
        spare.push_back(std::move(inFlight.front()));
        inFlight.pop_front();
    };
    std::vector<char> carry;  // a line begun in the previous read
    uint64_t offset = 0;
    bool ended = false;
    int failure = 0;
    while (!ended) {
        std::unique_ptr<Job> job;
        if (spare.empty()) {
            job = std::make_unique<Job>();
        } else {
            job = std::move(spare.back());
            spare.pop_back();
            job->result = Result{};
        }
        Chunk& chunk = job->chunk;
        chunk.size = 0;  // nothing of a reused chunk's text is kept
        chunk.reserve(std::max(chunkSize, carry.size() + chunkSize / 4));
        if (!carry.empty()) std::memcpy(chunk.text.get(), carry.data(), carry.size());
        size_t filled = carry.size();
        bool newline = false;  // read since the carried line began
        // Reads until the chunk holds a newline past its first line, the
        // input ends, or the line is longer than any reader takes.
        for (;;) {
            const ssize_t got = in.read(chunk.text.get() + filled, chunk.capacity - filled);
            if (got <= 0) {
                ended = true;
                failure = got < 0 ? (in.errorNumber() ? in.errorNumber() : EIO) : 0;
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
        if (failure || !ended) {
            const char* p = text + filled;
            while (p != text && p[-1] != '\n') --p;
            if (p != text || failure) cut = static_cast<size_t>(p - text);
        }
        carry.assign(text + cut, text + filled);
        chunk.size = cut;
        chunk.offset = offset;
        offset += cut;
        if (cut == 0) break;
        Job* j = job.get();
        inFlight.push_back(std::move(job));
        pool.submit([j, &work] { work(j->chunk, j->result); }, j->done);
        if (inFlight.size() > static_cast<size_t>(workers) + 1) mergeOldest();
    }
    while (!inFlight.empty()) mergeOldest();
    return failure;
}
