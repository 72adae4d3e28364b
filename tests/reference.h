// Straightforward readings of what each tool computes, for differential
// tests and fuzz targets to compare the fast code with.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <string>
#include <vector>

#include "cohortmeans.h"
#include "corrections.h"
#include "numbers.h"
#include "pvalue.h"

// The lines of a text as the tools read them: split at each "\n", a "\r"
// before it dropped, and no empty last line after a final newline.
inline std::vector<std::string> splitLines(const std::string& content) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < content.size()) {
        size_t nl = content.find('\n', start);
        size_t stop = nl == std::string::npos ? content.size() : nl;
        std::string line = content.substr(start, stop - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = stop + 1;
    }
    return lines;
}

// The fields of a line: the maximal runs of characters other than space,
// tab and newline.
inline std::vector<std::string> splitWords(const std::string& line) {
    std::vector<std::string> fields;
    size_t i = 0;
    while (i < line.size()) {
        size_t j = line.find_first_of(" \t\n", i);
        if (j == std::string::npos) j = line.size();
        if (j > i) fields.push_back(line.substr(i, j - i));
        i = j + 1;
    }
    return fields;
}

// The reverse complement, character by character: A, C, G, T to T, G, C, A,
// anything else to N.
inline std::string rc(const std::string& in) {
    std::string out;
    out.reserve(in.size());
    for (auto c = in.rbegin(); c != in.rend(); ++c)
        out += *c == 'A' ? 'T' : *c == 'C' ? 'G' : *c == 'G' ? 'C' : *c == 'T' ? 'A' : 'N';
    return out;
}

// The k-mer list as a straightforward reading of the rules: per line, the
// text before its "\n" or "\r\n", every window of k characters, then the
// window reverse-complemented character by character.
inline std::string referenceKmers(const std::string& seed, size_t k = 31) {
    std::string out;
    for (const std::string& line : splitLines(seed)) {
        for (size_t i = 0; i + k <= line.size(); ++i) {
            out.append(line, i, k);
            out += '\n';
            out += rc(line.substr(i, k));
            out += '\n';
        }
    }
    return out;
}

// The comparison as plainly described: strtod, then threshold > p.
inline Verdict referenceVerdict(const std::string& text, double threshold) {
    char* stop;
    const double p = std::strtod(text.c_str(), &stop);
    if (stop == text.c_str()) return Verdict::NotANumber;
    return threshold > p ? Verdict::Pass : Verdict::Fail;
}

// A straightforward filter: split on the three delimiters, strtod the fourth
// field, compare.
inline std::string referenceFasta(const std::string& input, double threshold) {
    std::string out;
    int64_t index = 0;
    for (const std::string& line : splitLines(input)) {
        const std::vector<std::string> fields = splitWords(line);
        if (fields.empty()) continue;
        if (referenceVerdict(fields.at(3), threshold) == Verdict::Pass)
            out += ">" + std::to_string(index++) + "\n" + fields[0] + "\n";
    }
    return out;
}

// Row sums as plainly described: split into fields, parseInt each count.
inline RowResult referenceRow(const std::string& line, int32_t noCases, int32_t noControls,
                              RowSums& sums) {
    sums = RowSums{};
    const std::vector<std::string> fields = splitWords(line);
    if (fields.empty()) return {RowStatus::Blank};
    const size_t needed = 4u + static_cast<size_t>(noCases) + static_cast<size_t>(noControls);
    if (fields.size() >= 4) {
        char* stop;
        sums.value = std::strtod(fields[3].c_str(), &stop);
        if (stop == fields[3].c_str()) return {RowStatus::ValueNotANumber};
    }
    if (fields.size() < needed)
        return {RowStatus::TooFewFields, static_cast<int64_t>(fields.size())};
    for (size_t i = 4; i < needed; ++i) {
        bool out;
        const int32_t count = parseInt(fields[i], &out);
        if (out) return {RowStatus::CountOutOfRange};
        const bool isCase = i < 4u + static_cast<size_t>(noCases);
        (isCase ? sums.caseSum : sums.controlSum) += count;
        (isCase ? sums.casesPresent : sums.controlsPresent) += count > 0;
    }
    return {RowStatus::Ok};
}

// Count fields as plainly described: the fields of `text`, from field
// `skip` on, up to n of them, each read by parseInt.
struct ReferenceWalk {
    int64_t sum = 0, present = 0, read = 0;
    bool bad = false;
    std::vector<int32_t> counts;  // of the fields read
};
inline ReferenceWalk referenceWalk(const std::string& text, size_t skip, int64_t n) {
    ReferenceWalk walk;
    const std::vector<std::string> fields = splitWords(text);
    for (size_t i = skip; i < fields.size() && walk.read < n; ++i) {
        bool out;
        const int32_t count = parseInt(fields[i], &out);
        if (out) {
            walk.bad = true;
            break;
        }
        walk.sum += count;
        walk.present += count > 0;
        walk.counts.push_back(count);
        ++walk.read;
    }
    return walk;
}

// R's p.adjust(c(p, rep(1, N - n)), method) for each p-value of `values`
// (nan kept as nan), written as R writes it: the family sorted with its
// absent k-mers as 1s, ranks i from 1, and the running maximum or minimum;
// storey is pi0 times bh's value. For families small enough to hold.
inline std::vector<double> referenceAdjusted(Method method, int64_t total,
                                             const std::vector<double>& values, double pi0 = 1) {
    std::vector<double> family;
    for (const double p : values)
        if (p == p) family.push_back(p);
    family.resize(static_cast<size_t>(total), 1.0);
    std::vector<size_t> o(family.size());
    std::iota(o.begin(), o.end(), 0);
    std::stable_sort(o.begin(), o.end(), [&](size_t a, size_t b) { return family[a] < family[b]; });
    const double n = static_cast<double>(total);
    const size_t lp = family.size();
    std::vector<double> adjusted(lp);
    if (lp <= 1) {
        adjusted = family;
    } else if (method == Method::Holm || method == Method::SidakSD) {
        double running = -INFINITY;
        for (size_t r = 0; r < lp; ++r) {
            const double p = family[o[r]], i = static_cast<double>(r + 1);
            running = std::max(running, method == Method::Holm
                                            ? (n + 1 - i) * p
                                            : -std::expm1((n + 1 - i) * std::log1p(-p)));
            adjusted[o[r]] = method == Method::Holm ? std::min(1.0, running) : running;
        }
    } else if (method == Method::Bonferroni || method == Method::Sidak) {
        for (size_t r = 0; r < lp; ++r)
            adjusted[r] = method == Method::Sidak ? -std::expm1(n * std::log1p(-family[r]))
                                                  : std::min(1.0, n * family[r]);
    } else {
        const double q = method == Method::BY ? harmonic(total) : 1;
        double running = INFINITY;
        for (size_t r = lp; r-- > 0;) {
            const double p = family[o[r]], i = static_cast<double>(r + 1);
            running = std::min(running, method == Method::Hochberg ? (n + 1 - i) * p
                                        : method == Method::BY     ? q * n / i * p
                                                                   : n / i * p);
            adjusted[o[r]] = std::min(1.0, running) * (method == Method::Storey ? pi0 : 1);
        }
    }
    std::vector<double> out;
    size_t at = 0;
    for (const double p : values) out.push_back(p == p ? adjusted[at++] : p);
    return out;
}
