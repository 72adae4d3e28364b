#include "report.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <string_view>

#include "numbers.h"
#include "report_table.h"

namespace {

// The shortest text that reads back as v; NA for nan.
std::string number(double v) {
    if (v != v) return "NA";
    char text[shortestLength];
    return std::string(text, formatShortest(text, v));
}

}  // namespace

// AS 241 (PPND16), Wichura 1988: rational approximations in three regions,
// relative accuracy about 1e-16.
double normalUpperQuantile(double tail) {
    const double q = 0.5 - tail;  // Phi^-1(1 - tail) = Phi^-1(0.5 + q)
    if (std::fabs(q) <= 0.425) {
        const double r = 0.180625 - q * q;
        return q *
               (((((((2509.0809287301226727 * r + 33430.575583588128105) * r +
                     67265.770927008700853) *
                        r +
                    45921.953931549871457) *
                       r +
                   13731.693765509461125) *
                      r +
                  1971.5909503065514427) *
                     r +
                 133.14166789178437745) *
                    r +
                3.387132872796366608) /
               (((((((5226.4952788528545610 * r + 28729.085735721942674) * r +
                     39307.89580009271061) *
                        r +
                    21213.794301586595867) *
                       r +
                   5394.1960214247511077) *
                      r +
                  687.1870074920579083) *
                     r +
                 42.313330701600911252) *
                    r +
                1.0);
    }
    // The smaller tail, taken as it is when it is the upper one.
    double r = q < 0 ? 1 - tail : tail;
    r = std::sqrt(-std::log(r));
    double value;
    if (r <= 5) {
        r -= 1.6;
        value = (((((((7.7454501427834140764e-4 * r + 0.0227238449892691845833) * r +
                      0.24178072517745061177) *
                         r +
                     1.27045825245236838258) *
                        r +
                    3.64784832476320460504) *
                       r +
                   5.7694972214606914055) *
                      r +
                  4.6303378461565452959) *
                     r +
                 1.42343711074968357734) /
                (((((((1.05075007164441684324e-9 * r + 5.475938084995344946e-4) * r +
                      0.0151986665636164571966) *
                         r +
                     0.14810397642748007459) *
                        r +
                    0.68976733498510000455) *
                       r +
                   1.6763848301838038494) *
                      r +
                  2.05319162663775882187) *
                     r +
                 1.0);
    } else {
        r -= 5;
        value = (((((((2.01033439929228813265e-7 * r + 2.71155556874348757815e-5) * r +
                      0.0012426609473880784386) *
                         r +
                     0.026532189526576123093) *
                        r +
                    0.29656057182850489123) *
                       r +
                   1.7848265399172913358) *
                      r +
                  5.4637849111641143699) *
                     r +
                 6.6579046435011037772) /
                (((((((2.04426310338993978564e-15 * r + 1.4215117583164458887e-7) * r +
                      1.8463183175100546818e-5) *
                         r +
                     7.868691311456132591e-4) *
                        r +
                    0.0148753612908506148525) *
                       r +
                   0.13692988092273580531) *
                      r +
                  0.59983220655588793769) *
                     r +
                 1.0);
    }
    return q < 0 ? -value : value;
}

double genomicControl(double medianP) {
    const double medianChiSquare = 0.454936423119572818;  // Phi^-1(3/4)^2
    const double z = normalUpperQuantile(medianP / 2);
    return z * z / medianChiSquare;
}

std::string reportText(const char* method, double alpha, int64_t total, const Cutoff& cutoff,
                       double pi0, const ReportRow rows[3], bool json) {
    ReportTable table;
    table.columns = {
        {"input", "Input", "The input's file name (its path in the section's description)", ""},
        {"method", "Method", "The multiple-testing correction", ""},
        {"alpha", "Alpha", "The significance level", pValueFormat},
        {"tested", "Tested", "N, the number of k-mers tested", wholeFormat},
        {"cutoff", "Cutoff", "A record passes when its p-value is below it (see Rule)",
         pValueFormat},
        {"rule", "Rule", "How a p-value compares with the cutoff to pass: < or <=", ""},
        {"records", "Records", "The records read", wholeFormat},
        {"p_values", "P-values", "The p-values present (not nan)", wholeFormat},
        {"passing", "Passing", "The records that pass, written as FASTA", wholeFormat},
        {"smallest_p", "Smallest p", "The smallest p-value present", pValueFormat},
        {"pi0", "pi0", "The share of true null hypotheses, as storey estimates it", ratioFormat},
        {"lambda", "Lambda", "The genomic-control inflation factor of the N tested", ratioFormat},
        {"lambda_present", "Lambda present",
         "The genomic-control inflation factor of the p-values present", ratioFormat},
    };
    const bool unitigs = rows[0].unitigs >= 0;
    if (unitigs) {
        table.columns.push_back({"unitigs", "Unitigs",
                                 "The unitigs the passing k-mers form (of both: in all)",
                                 wholeFormat});
        table.columns.push_back({"longest_unitig", "Longest unitig",
                                 "The length of the longest unitig (0 for none)", wholeFormat});
    }
    const char* const groups[3] = {"case", "control", "both"};
    for (int g = 0; g < 3; ++g) {
        const ReportRow& r = rows[g];
        std::string input = r.input;
        if (json && g < 2) input = input.substr(input.rfind('/') + 1);  // npos + 1 is 0
        table.rows.push_back(
            {groups[g],
             {input, method, number(alpha), std::to_string(total), number(cutoff.value),
              cutoff.inclusive ? "<=" : "<", std::to_string(r.records), std::to_string(r.pValues),
              std::to_string(r.passing), number(r.cells->empty() ? NAN : r.cells->front().lo),
              number(pi0), number(r.lambda), number(r.cells->empty() ? NAN : r.lambdaPresent)}});
        if (unitigs) {
            table.rows.back().second.push_back(std::to_string(r.unitigs));
            table.rows.back().second.push_back(std::to_string(r.longestUnitig));
        }
    }
    if (!json) return tsvText(table);
    const std::string description =
        std::string("k-mers whose p-value passes the ") + method + " correction at alpha " +
        number(alpha) + " among " + std::to_string(total) +
        " k-mers tested (case: " + rows[0].input + "; control: " + rows[1].input + ")";
    return multiqcJson(table, "sigsieve", description, "Group",
                       {{"method", jsonString(method)},
                        {"alpha", jsonNumber(number(alpha))},
                        {"tested", std::to_string(total)},
                        {"pi0", jsonNumber(number(pi0))}});
}
