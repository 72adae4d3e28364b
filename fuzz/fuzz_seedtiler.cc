// seedtiler's tiling over arbitrary input, read in pieces of any size, at
// any small k: one sequence per line, the output must be exactly every
// window of every line and its reverse complement; read as FASTA/FASTQ,
// the run either fails with a message naming a line or writes whole pairs
// of windows of k characters.
#include <algorithm>

#include "fuzz_support.h"
#include "reference.h"
#include "seedtiler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t limit = 2 + data[0] % 80;
    useKernelsFor(data[0] / 80);
    TileOptions options;
    options.limit = limit;
    options.fasta = data[1] & 1;
    options.k = data[1] & 2 ? kmerLength : 1 + (data[1] >> 2) % 40;
    const std::string seed(reinterpret_cast<const char*>(data) + 2, size - 2);
    int in = memoryFile(seed);
    int outFd = memoryFile("", 1);
    try {
        OutputFile out(outFd, "kmers.txt", outputCapacityFor(options.k, data[0] < 32 ? 64 : 65536));
        const auto source = plainSource(in);
        tileInput(*source, "seed.txt", out, options);
        out.flush();
    } catch (const Failure& failure) {
        CHECK(options.fasta && failure.message.rfind("seed.txt:", 0) == 0);
        return 0;
    }
    const std::string got = contents(outFd);
    if (!options.fasta) {
        CHECK(got == referenceKmers(seed, options.k));
        return 0;
    }
    // Pairs of lines (split at "\n" alone: a window may end in "\r").
    CHECK(got.size() % (2 * (options.k + 1)) == 0);
    for (size_t at = 0; at < got.size(); at += 2 * (options.k + 1)) {
        const std::string window = got.substr(at, options.k);
        CHECK(got[at + options.k] == '\n' && got[at + 2 * options.k + 1] == '\n');
        CHECK(got.compare(at + options.k + 1, options.k, rc(window)) == 0);
    }
    return 0;
}
