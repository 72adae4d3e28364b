// seedtiler's tiling over arbitrary input, read in pieces of any size: the
// output must be exactly every window of every line and its reverse
// complement.
#include "fuzz_support.h"
#include "reference.h"
#include "seedtiler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t limit = 2 + data[0] % 80;
    useKernelsFor(data[0] / 80);
    const std::string seed(reinterpret_cast<const char*>(data) + 1, size - 1);
    throwFailures();
    int in = memoryFile(seed);
    int outFd = memoryFile("", 1);
    {
        OutputFile out(outFd, "kmers.txt", outputCapacityFor(31, data[0] < 32 ? 64 : 65536));
        const auto source = plainSource(in);
        TileOptions options;
        options.limit = limit;
        tileInput(*source, "seed.txt", out, options);
        out.flush();
    }
    CHECK(contents(outFd) == referenceKmers(seed));
    return 0;
}
