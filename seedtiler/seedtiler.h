// The steps of seedtiler, for its main and for tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "byte_source.h"
#include "tool.h"

inline constexpr int32_t kmerLength = 31;
// Lines are tiled in pieces of at most this many characters.
inline constexpr size_t pieceLimit = size_t{128} << 10;

// Tiles every line of the input, reading it in pieces of at most `limit`
// characters and carrying the last kmerLength - 1 characters of a piece into
// the next piece of the same line.
void tileInput(ByteSource& in, const char* name, OutputFile& out, size_t limit = pieceLimit);

// The whole run: arguments, files, tiling.
int runSeedtiler(int argc, char** argv);
