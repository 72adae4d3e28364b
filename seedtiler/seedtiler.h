// The steps of seedtiler, for its main and for tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "output_file.h"
#include "source.h"

class TaskPool;

// The window length without -k, and the longest one -k allows.
inline constexpr size_t kmerLength = 31;
inline constexpr size_t maxKmerLength = size_t{1} << 20;
// Sequences are tiled in pieces of at most this many new characters.
inline constexpr size_t pieceLimit = size_t{128} << 10;

struct TileOptions {
    size_t k = kmerLength;
    // FASTA/FASTQ records instead of one sequence per line.
    bool fasta = false;
    size_t limit = pieceLimit;
    bool canonical = false;  // each window once, the smaller of it and its reverse complement
    bool upper = false;      // lower-case letters read as upper case
    bool acgtOnly = false;   // windows of other characters skipped
    bool unique = false;     // each distinct line once, in byte order
    bool count = false;      // with the number of times it occurs (implies unique)
    uint64_t minCount = 1, maxCount = UINT64_MAX;  // the counts of the lines written
    uint64_t bufferBytes = uint64_t{1} << 30;      // the memory for --unique's windows
    std::string tempDir = "/tmp";                  // where its runs go
    TaskPool* pool = nullptr;                      // its sorting threads; none without
};

// An input and its name in messages.
struct TileInput {
    ByteSource* source;
    const char* name;
};

// Writes every window of k characters of every sequence of the inputs, read
// in order as one (no window spans two), each window followed by its
// reverse complement, or as the options say; reads each input in pieces of
// at most `limit` characters, so that memory stays constant in the input
// size. A malformed FASTA/FASTQ input fails the run naming it and the line.
void tileInputs(const std::vector<TileInput>& inputs, OutputFile& out,
                const TileOptions& options = {});
inline void tileInput(ByteSource& in, const char* name, OutputFile& out,
                      const TileOptions& options = {}) {
    tileInputs({{&in, name}}, out, options);
}

// The size of an output buffer for windows of k characters: `preferred`,
// or more when a window and its reverse complement need more.
size_t outputCapacityFor(size_t k, size_t preferred = size_t{1} << 20);

// The whole run: arguments, files, tiling.
int runSeedtiler(int argc, char** argv);
