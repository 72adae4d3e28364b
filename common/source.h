// Reading bytes: the sources beneath LineReader. A plain file descriptor,
// gzip (ISA-L) or zstd (libzstd) data, recognised by their first bytes,
// and optionally decompressed on threads of their own.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class TaskPool;

class ByteSource {
  public:
    virtual ~ByteSource() = default;
    // Reads up to n (> 0) bytes into dst. Returns how many, 0 at the end of
    // the data, or -1 on failure: then errorNumber() is the errno of a
    // failed read, or problem() says what is wrong with the data.
    virtual ssize_t read(char* dst, size_t n) = 0;
    int errorNumber() const { return errno_; }
    const std::string& problem() const { return problem_; }
    // Bytes taken from the underlying file so far.
    uint64_t consumed() const { return consumed_; }
    // Before a record error is reported at `offset` (bytes of this source's
    // output): decodes the rest of the compressed member or frame that holds
    // that offset, and returns false, with problem() or errorNumber() set,
    // when it is damaged, so that the damage is reported rather than the
    // record. Plain data has nothing more to check. The source may not be
    // read any further afterwards.
    virtual bool verifyThrough(uint64_t offset) {
        (void)offset;
        return true;
    }

    // A plain regular file not read yet can instead be read in byte ranges
    // on several threads: sets its descriptor and the offset where its data
    // begins. `tookRanges` then counts what those reads took.
    virtual bool rangeFile(int& fd, uint64_t& start) {
        (void)fd, (void)start;
        return false;
    }
    virtual void tookRanges(uint64_t bytes) { consumed_ += bytes; }

  protected:
    ssize_t failWith(int errorNumber) {
        errno_ = errorNumber;
        return -1;
    }
    ssize_t failWith(std::string problem);
    // Takes on the failure of a source this one reads from.
    ssize_t failLike(const ByteSource& inner) {
        errno_ = inner.errno_;
        problem_ = inner.problem_;
        return -1;
    }
    int errno_ = 0;
    std::string problem_;
    uint64_t consumed_ = 0;
};

// A source that hands out the bytes of another, which it owns. Every hook
// is passed on to that source here, once, so that no wrapper can forget one.
class WrappingSource : public ByteSource {
  public:
    explicit WrappingSource(std::unique_ptr<ByteSource> inner) : inner_(std::move(inner)) {}
    bool verifyThrough(uint64_t offset) override {
        if (!inner_->verifyThrough(offset)) return failLike(*inner_), false;
        return true;
    }
    bool rangeFile(int& fd, uint64_t& start) override { return inner_->rangeFile(fd, start); }
    void tookRanges(uint64_t bytes) override {
        inner_->tookRanges(bytes);
        consumed_ += bytes;
    }

  protected:
    // Reads from the inner source, taking on its count and its failure.
    ssize_t readInner(char* dst, size_t n) {
        const ssize_t got = inner_->read(dst, n);
        consumed_ = inner_->consumed();
        return got < 0 ? failLike(*inner_) : got;
    }
    std::unique_ptr<ByteSource> inner_;
};

// Bytes already taken from a source, handed out first, then the rest of
// that source: the head read to tell a file's format, the first bytes
// decoded when an input is opened, or what a sequential decoder takes on
// from a parallel one that stopped. With `countKept`, the kept bytes count
// as taken from the file when they are handed out (they were read past the
// inner source); otherwise the inner source counted them already.
class KeptBytes : public WrappingSource {
  public:
    KeptBytes(std::string kept, std::unique_ptr<ByteSource> inner, bool countKept = false)
        : WrappingSource(std::move(inner)), kept_(std::move(kept)), countKept_(countKept) {
        if (!countKept_) consumed_ = inner_->consumed();
    }
    ssize_t read(char* dst, size_t n) override;
    // A file is read in ranges only before any byte of it was handed out.
    bool rangeFile(int& fd, uint64_t& start) override {
        return handedOut_ == 0 && WrappingSource::rangeFile(fd, start);
    }

  private:
    std::string kept_;
    size_t at_ = 0;
    uint64_t handedOut_ = 0;
    bool countKept_;
    bool ended_ = false;
};

// Plain bytes from a file descriptor, which the source does not own.
std::unique_ptr<ByteSource> plainSource(int fd);

// The source for an open input: plain, gzip or zstd, by its first bytes.
// `name` is used in messages. Compressed data is decoded from its start at
// once: when that fails, the result is null and *problem says why. So it
// is for the formats not read (xz, bzip2, lz4, zip), with a hint to
// decompress first into `pipeReader` (the command that reads standard
// input, as "seedtiler -i -"), and for plain data whose first 64 KiB hold a
// NUL byte (binary, not text). When the pool has threads, compressed data
// is decompressed on them.
std::unique_ptr<ByteSource> openSource(int fd, const char* name, TaskPool& pool,
                                       std::string* problem, const char* pipeReader = nullptr);
