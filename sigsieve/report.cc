#include "report.h"

#include <cmath>

#include "numbers.h"

namespace {

// The shortest text that reads back as v; NA for nan.
std::string number(double v) {
    if (v != v) return "NA";
    char text[shortestLength];
    return std::string(text, formatShortest(text, v));
}

}  // namespace

std::string reportCell(const char* name) {
    std::string cell;
    for (const char* p = name; *p; ++p) {
        if (*p == '\t')
            cell += "\\t";
        else if (*p == '\n')
            cell += "\\n";
        else if (*p == '\\')
            cell += "\\\\";
        else
            cell += *p;
    }
    return cell;
}

std::string reportText(const char* method, double alpha, int64_t total, const Cutoff& cutoff,
                       double pi0, const ReportRow rows[3]) {
    std::string text =
        "input\tmethod\talpha\ttested\tcutoff\trule\trecords\tp_values\tpassing\tsmallest_p\t"
        "pi0\tlambda\tlambda_present\n";
    for (int g = 0; g < 3; ++g) {
        const ReportRow& r = rows[g];
        text += reportCell(r.input.c_str()) + "\t" + method + "\t" + number(alpha) + "\t" +
                std::to_string(total) + "\t" + number(cutoff.value) + "\t" +
                (cutoff.inclusive ? "<=" : "<") + "\t" + std::to_string(r.records) + "\t" +
                std::to_string(r.pValues) + "\t" + std::to_string(r.passing) + "\t" +
                number(r.cells->empty() ? NAN : r.cells->front().lo) + "\t" + number(pi0) + "\t" +
                number(r.lambda) + "\t" + number(r.cells->empty() ? NAN : r.lambdaPresent) + "\n";
    }
    return text;
}
