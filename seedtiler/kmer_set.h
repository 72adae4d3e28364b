// The distinct windows of a run, written once each in byte order, in
// bounded memory: what `LC_ALL=C sort -u` gives for the same lines.
//
// Windows of A, C, G and T with k <= 32 are packed two bits per base into
// a 64-bit word (with k <= 64 into two), whose order as a number is their
// byte order (A < C < G < T), and sorted by radix; other windows are kept
// as their k bytes. When
// the buffer (its size given) fills, each kind is sorted, its duplicates
// dropped, and written as a run to a temporary file, compressed with zstd;
// at the end the runs are merged. The temporary files are unlinked as soon
// as they are made, so that no way out of the run leaves one behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "output_file.h"

class KmerRecords;
class TaskPool;

class KmerSet {
  public:
    // `bufferBytes` caps the memory of the windows held; runs go to
    // `tempDir`; sorting uses `workers` threads beside the calling one.
    KmerSet(size_t k, uint64_t bufferBytes, std::string tempDir, int workers);
    ~KmerSet();
    KmerSet(const KmerSet&) = delete;
    KmerSet& operator=(const KmerSet&) = delete;

    // A window of A, C, G and T (k <= 32) as 2-bit codes, first base highest.
    void addPacked(uint64_t code) {
        if (packedCount_ >= packedLimit_) spill();
        packed_[packedCount_++] = code;
    }
    // The same for 32 < k <= 64, in two words: the first k - 32 bases, then 32.
    void addPacked(unsigned __int128 code) {
        if (packedCount_ >= packedLimit_) spill();
        uint64_t* key = packed_.get() + 2 * packedCount_++;
        key[0] = static_cast<uint64_t>(code >> 64);
        key[1] = static_cast<uint64_t>(code);
    }
    // Any window, as its k bytes.
    void addText(const char* window);

    // Writes every distinct window once, in byte order, each on its line.
    void write(OutputFile& out);

    struct Run;

  private:
    void spill();
    std::unique_ptr<class KmerRecords> sortedText();

    size_t k_;
    uint64_t budget_;
    std::string tempDir_;
    int workers_;
    size_t words_;  // of a packed window: 1 for k <= 32, 2 up to 64, 0 beyond
    size_t packedCapacity_, packedLimit_;
    struct Unmap {
        size_t bytes;
        void operator()(uint64_t* p) const;
    };
    using Keys = std::unique_ptr<uint64_t[], Unmap>;
    static Keys bigArray(size_t n);
    Keys packed_, scratch_;
    size_t packedCount_ = 0;
    std::vector<char> text_;  // textCount_ windows of k bytes
    size_t textCount_ = 0;
    std::vector<std::unique_ptr<Run>> runs_;
    std::unique_ptr<TaskPool> pool_;
};
