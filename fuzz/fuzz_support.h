// What the fuzz targets share: in-memory files and kernel choice; a failed
// run raises a Failure (failure.h), which the targets catch.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>

#include "memory_file.h"
#include "simd/kernels.h"
#include "tool.h"

// Sizes for reader buffers: mostly large enough to take a whole input in
// one read, sometimes tiny, to reach the refill and growth paths.
inline size_t bufferSizeFor(uint8_t choice) {
    return choice < 96 ? size_t{16} << (choice % 8) : 65536;
}

// Runs the input under one of the kernel sets this CPU supports, picked by
// `choice`.
inline void useKernelsFor(uint8_t choice) {
    simd::Set sets[std::size(simd::allSets)];
    int count = 0;
    for (simd::Set set : simd::allSets)
        if (simd::supported(set)) sets[count++] = set;
    simd::useKernels(sets[choice % count]);
}

// Dies with a message when a checked property does not hold.
#define CHECK(condition)                                                                       \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)
