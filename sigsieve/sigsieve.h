// The steps of sigsieve, for its main and for tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bonferroni.h"
#include "byte_source.h"
#include "lines.h"
#include "tool.h"

// Reads the number of k-mers tested from the file at `path`: the first
// whole number in it, after optional white space and sign. It must lie in
// 1 .. 2^63 - 1; anything else fails the run.
int64_t readTotalKmers(const char* path);

// Filters the records of one input into one FASTA output: ">INDEX" and the
// k-mer of each record whose p-value passes, INDEX counting from 0.
// Returns the number of records written.
int64_t filter(ByteSource& in, const char* inName, OutputFile& out, const Threshold& threshold,
               size_t bufferSize = LineReader::defaultCapacity);

// The same with the records read on `workers` threads besides the calling
// one, in chunks of about `chunkSize` bytes: the same records, indexes and
// messages.
int64_t filterInChunks(ByteSource& in, const char* inName, OutputFile& out,
                       const Threshold& threshold, int workers, size_t chunkSize = size_t{1} << 20);

// The whole run: arguments, files, both passes.
int runSigsieve(int argc, char** argv);
