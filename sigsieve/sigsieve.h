// The steps of sigsieve, for its main and for tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "output_file.h"
#include "pvalue.h"
#include "records.h"
#include "source.h"

// Reads the number of k-mers tested from the file at `path` (decoded on
// `threads` extra threads): the first whole number in it, after optional
// white space and sign. It must lie in 1 .. 2^63 - 1; anything else fails
// the run.
int64_t readTotalKmers(const char* path, int threads = 0);

// Filters the records of one input into one FASTA output: ">INDEX" and the
// k-mer of each record whose p-value passes, INDEX counting from 0, on the
// threads given (the same records, indexes and messages for any number).
// Returns the number of records written.
int64_t filter(ByteSource& in, const char* inName, OutputFile& out, const Threshold& threshold,
               const RecordThreads& threads = {});

// The whole run: arguments, files, both passes.
int runSigsieve(int argc, char** argv);
