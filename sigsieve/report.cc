#include "report.h"

#include <cstdio>

namespace {

std::string formatReal(const char* format, double v) {
    char text[64];
    std::snprintf(text, sizeof text, format, v);
    return text;
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
                       const ReportRow rows[3]) {
    std::string text =
        "input\tmethod\talpha\ttested\tcutoff\trule\trecords\tp_values\tpassing\tsmallest_p\t"
        "lambda\n";
    for (int g = 0; g < 3; ++g) {
        const ReportRow& r = rows[g];
        const bool none = r.cells->empty();
        text += reportCell(r.input.c_str()) + "\t" + method + "\t" + formatReal("%.17g", alpha) +
                "\t" + std::to_string(total) + "\t" + formatReal("%.17g", cutoff.value) + "\t" +
                (cutoff.inclusive ? "<=" : "<") + "\t" + std::to_string(r.records) + "\t" +
                std::to_string(r.pValues) + "\t" + std::to_string(r.passing) + "\t" +
                (none ? "NA" : formatReal("%.17g", r.cells->front().lo)) + "\t" +
                (none ? "NA" : formatReal("%.6f", r.lambda)) + "\n";
    }
    return text;
}
