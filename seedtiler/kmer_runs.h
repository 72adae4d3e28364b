// Sorted runs of k-mer records spilled to disk: every run of a set lies in
// one temporary file without a name (O_TMPFILE, or unlinked at once), one
// after another, each a zstd stream of fixed-size records. One descriptor
// whatever the number of runs; a run merged into another gives its space
// back (a hole punched where the file system can), and no way out of the
// run, a signal or a crash included, leaves the file behind.
#pragma once

#include <zstd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// The temporary file that holds the runs, in `dir`.
class RunFile {
  public:
    explicit RunFile(std::string dir) : dir_(std::move(dir)) {}
    ~RunFile();
    RunFile(const RunFile&) = delete;
    RunFile& operator=(const RunFile&) = delete;

    // A run: where its stream lies and how many records it holds.
    struct Run {
        uint64_t offset = 0, size = 0, records = 0;
        int level = 0;  // 0 spilled from memory, n + 1 merged from runs of level n
    };

    // Gives the space of a run merged into another back to the file system.
    void release(const Run& run);

    // Fails the run: "cannot WHAT a temporary file in 'DIR': reason".
    [[noreturn]] void fail(const char* what, int err) const;

    int fd();  // made at the first use
    uint64_t& end() { return end_; }

  private:
    std::string dir_;
    int fd_ = -1;
    uint64_t end_ = 0;  // where the next run goes
};

// Writes records of `size` bytes to a new run at the end of the file.
class RunWriter {
  public:
    RunWriter(RunFile& file, size_t size);
    ~RunWriter();
    RunWriter(const RunWriter&) = delete;
    RunWriter& operator=(const RunWriter&) = delete;

    void write(const char* record) {
        if (used_ + size_ > in_.size()) flush(ZSTD_e_continue);
        std::memcpy(in_.data() + used_, record, size_);
        used_ += size_;
        ++records_;
    }
    // Ends the run; returns where it lies.
    RunFile::Run finish(int level);

  private:
    void flush(ZSTD_EndDirective mode);
    RunFile& file_;
    size_t size_;
    ZSTD_CCtx* ctx_;
    std::vector<char> in_, out_;
    size_t used_ = 0;
    uint64_t start_, at_, records_ = 0;
};

// The records of a run, read back in a buffer of bounded size (a fixed
// allowance, or one record when a record is larger).
class RunReader {
  public:
    RunReader(RunFile& file, const RunFile::Run& run, size_t size);
    ~RunReader();
    RunReader(const RunReader&) = delete;
    RunReader& operator=(const RunReader&) = delete;

    // The record at hand, or null at the end of the run.
    const char* current() const { return at_ + size_ <= end_ ? out_.data() + at_ : nullptr; }
    void advance() {
        at_ += size_;
        if (at_ + size_ > end_) refill();
    }

  private:
    void refill();
    RunFile& file_;
    RunFile::Run run_;
    size_t size_;
    ZSTD_DCtx* ctx_;
    std::vector<char> in_, out_;
    ZSTD_inBuffer input_{nullptr, 0, 0};
    uint64_t read_ = 0;  // bytes of the run read from the file
    size_t at_ = 0, end_ = 0;
};
