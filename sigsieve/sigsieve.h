// The steps of sigsieve, for its main and for tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "filter.h"
#include "output_file.h"
#include "pvalue.h"
#include "records.h"
#include "source.h"

struct Option;
class TaskPool;

// Reads the number of k-mers tested from the file at `path` (named by
// `option`, decoded on the pool's threads): the first whole number in it,
// after optional white space and sign. It must lie in 1 .. 2^63 - 1;
// anything else fails the run.
int64_t readTotalKmers(const char* path, const Option& option, TaskPool& pool);

// The whole run: arguments, files, both passes.
int runSigsieve(int argc, char** argv);
