// The distinct windows of a run, written once each in byte order, in
// bounded memory: what `LC_ALL=C sort -u` gives for the same lines (and,
// with counts, `uniq -c` of it).
//
// Windows of A, C, G and T with k <= 64 are packed two bits per base
// (kmer_merge.h) and sorted by radix; other windows are kept as their k
// bytes. The buffer grows as it fills, up to its size; when it is full,
// each kind is sorted, its repeats joined (their counts summed), and
// written as a run to a temporary file (kmer_runs.h). Runs are merged as
// they come, at most mergeFanIn at a time, and at the end into the output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kmer_buffer.h"
#include "kmer_runs.h"
#include "output_file.h"

class TaskPool;

// The most runs merged at once: the memory and descriptors of a merge stay
// bounded whatever the number of runs.
inline constexpr size_t mergeFanIn = 16;

struct KmerSetOptions {
    size_t k;
    uint64_t bufferBytes;                          // the memory for the windows held (-S)
    std::string tempDir;                           // where the runs go (-T)
    bool counts = false;                           // each line with the number of times it occurs
    uint64_t minCount = 1, maxCount = UINT64_MAX;  // the counts written
};

class KmerSet {
  public:
    KmerSet(const KmerSetOptions& options, TaskPool& pool);
    ~KmerSet();
    KmerSet(const KmerSet&) = delete;
    KmerSet& operator=(const KmerSet&) = delete;

    // A window of A, C, G and T (k <= 32) as 2-bit codes, first base highest.
    void addPacked(uint64_t code) {
        if (packedCount_ >= packedLimit_) makeRoom();
        packed()[packedCount_++] = code;
    }
    // The same for 32 < k <= 64, in two words: the first k - 32 bases, then 32.
    void addPacked(unsigned __int128 code) {
        if (packedCount_ >= packedLimit_) makeRoom();
        uint64_t* key = packed() + 2 * packedCount_++;
        key[0] = static_cast<uint64_t>(code >> 64);
        key[1] = static_cast<uint64_t>(code);
    }
    // Any window, as its k bytes.
    void addText(const char* window);

    // Writes every distinct window once, in byte order, each on its line
    // (with a tab and its count, when counting).
    void write(OutputFile& out);

  private:
    uint64_t* packed() const { return reinterpret_cast<uint64_t*>(keys_.data()); }
    uint64_t* scratch() const { return reinterpret_cast<uint64_t*>(scratch_.data()); }
    void makeRoom();
    void spill();
    void addRun(int kind, RunFile::Run run);
    RunFile::Run mergeRuns(int kind, size_t from, size_t to, int level);
    void writeRuns(OutputFile& out);
    void writeHeld(OutputFile& out);

    KmerSetOptions options_;
    TaskPool& pool_;
    size_t words_;        // of a packed window: 1 for k <= 32, 2 up to 64, 0 beyond
    uint64_t packedMax_;  // packed windows the buffer holds
    size_t packedLimit_;  // packed windows there is room for now
    GrowingArray keys_, scratch_;
    size_t packedCount_ = 0;
    GrowingArray text_;  // textCount_ windows of k bytes
    size_t textCount_ = 0;
    RunFile file_;
    std::vector<RunFile::Run> runs_[2];  // packed, text
};
