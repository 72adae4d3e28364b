// The report of a run: a tab-separated table with a header line and a row
// for each input and for both together, giving the method, alpha, the
// number of k-mers tested, the cutoff applied and its rule, the records
// read, the p-values present, the records passing, the smallest p-value,
// pi0, and the genomic-control lambda of the N tested and of the p-values
// present (NA where there is none); with --unitigs, the number of unitigs
// and the length of the longest. Numbers are written in the shortest
// form that reads back as the same double.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "corrections.h"
#include "report_table.h"

// The (1 - tail) quantile of the standard normal distribution, accurate to
// a few ulps (Wichura's algorithm AS 241), for 0 < tail < 1.
double normalUpperQuantile(double tail);

// The genomic-control lambda of a median p-value: the chi-square (one
// degree of freedom) quantile of 1 - median over its median, 0.4549...
double genomicControl(double medianP);

// A row of the report.
struct ReportRow {
    std::string input;  // its name, or "both"
    int64_t records;
    uint64_t pValues;
    int64_t passing;
    const Cells* cells;    // of its p-values: the first holds the smallest
    double lambda;         // of the N tested: nan for NA
    double lambdaPresent;  // of the p-values present
    // With --unitigs: the number of unitigs and the length of the longest
    // (0 without one); -1 without --unitigs.
    int64_t unitigs = -1;
    uint64_t longestUnitig = 0;
};

// The text of the report (report_table.h): the header line, then the three
// rows; or, with `json`, one JSON object in MultiQC's custom-content form:
// "id" and "section_name" ("sigsieve"), "description" (the inputs' paths
// in it), "plot_type" ("table"), the run's "method", "alpha", "tested" and
// "pi0", "pconfig", "headers" (each column's title, description and
// format) and "data" holding "case", "control" and "both", each an object
// of the columns above (the input as its file name).
std::string reportText(const char* method, double alpha, int64_t total, const Cutoff& cutoff,
                       double pi0, const ReportRow rows[3], bool json = false);
