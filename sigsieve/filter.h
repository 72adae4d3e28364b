// The last pass of a run: the records whose p-value passes the cutoff,
// written as FASTA records (">INDEX" and the k-mer, INDEX counting from 0)
// and, with --table, as rows of the result table.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "output_file.h"
#include "pvalue.h"
#include "records.h"
#include "source.h"
#include "unitigs.h"

// The table's header line: its columns, tab-separated.
inline constexpr char tableHeader[] =
    "group\tindex\tkmer\tfield2\tfield3\tp\tp_adjusted\tneg_log10_p\n";

// What a pass writes of each record that passes `threshold`.
struct Sieve {
    Sieve(const Threshold& t, OutputFile* f, OutputFile* rows = nullptr, const char* g = "")
        : threshold(t), fasta(f), table(rows), group(g) {}
    Threshold threshold;
    OutputFile* fasta = nullptr;  // its FASTA record
    OutputFile* table = nullptr;  // its table row, in group `group`,
    const char* group = "";
    std::function<double(double)> adjust;   // with p_adjusted = adjust(p)
    std::deque<double>* passing = nullptr;  // collects the passing p-values
    // With --unitigs: the run's k (0 until the first passing k-mer of
    // either input), and the group's k-mers, kept from then on. A passing
    // k-mer of another length or over other characters fails the run.
    int* unitigK = nullptr;
    std::unique_ptr<GroupUnitigs>* unitigs = nullptr;
    // The unitigs of the group's k-mers: a table row ends with the number
    // of its k-mer's.
    const GroupUnitigs* rowUnitigs = nullptr;
};

// What a pass read: the records, and those that pass.
struct Filtered {
    int64_t records = 0, passing = 0;
};

// Reads the records of one input on the threads given (the same records,
// indexes and messages for any number) and writes those that pass as the
// sieve says.
Filtered filter(ByteSource& in, const char* inName, const Sieve& sieve,
                const RecordThreads& threads = {});

// The FASTA records alone; returns the number that pass.
inline int64_t filter(ByteSource& in, const char* inName, OutputFile& out,
                      const Threshold& threshold, const RecordThreads& threads = {}) {
    Sieve sieve(threshold, &out);
    return filter(in, inName, sieve, threads).passing;
}
