// sigsieve's command line: its options, read into what a run was asked to
// do, checked before any file is opened.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "corrections.h"
#include "output_file.h"
#include "pvalue.h"
#include "records.h"
#include "tool.h"

// What a run was asked to do.
struct Run {
    const char* inputs[2] = {"case_out_wo_bonf.kmerDiff", "control_out_wo_bonf.kmerDiff"};
    const Option* inputOptions[2] = {};
    const char* totalFile = nullptr;
    const Option* totalOption = nullptr;
    const char* fasta[2] = {"case_out_sig.fasta", "control_out_sig.fasta"};
    const char *table = nullptr, *report = nullptr, *plot = nullptr, *hist = nullptr,
               *unitigs = nullptr;
    Method method = Method::Bonferroni;
    double alpha = defaultAlpha;
    double pi0 = NAN;   // given with --pi0
    int64_t total = 0;  // 0 until read from totalFile
    int level = -1;     // of compressed outputs
    // The option that makes the run read the records more than once, or
    // null: the methods that need ranks, the report and the plots.
    const char* rereads = nullptr;
    RunThreads* threads = nullptr;
    RecordThreads records;
    std::vector<Option> options;  // the command line's

    // Every output: the FASTA files (case, control), then those asked for
    // of the report, the plots, the table and the unitigs.
    std::vector<const char*> outputs() const {
        std::vector<const char*> all{fasta[0], fasta[1]};
        for (const char* extra : {report, plot, hist, table, unitigs})
            if (extra) all.push_back(extra);
        return all;
    }
    OutputOptions output() const { return {threads, level}; }
};

// Reads the command line into `run` and checks it: the values of the
// options, the inputs and outputs distinct, at most one of each '-', and
// files for the inputs read more than once. Changes into the directory of
// -C. A usage error fails the run before any file is opened.
Command readCommandLine(int argc, char** argv, Run& run);
