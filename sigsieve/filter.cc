#include "filter.h"

#include <cmath>
#include <string>
#include <string_view>
#include <type_traits>

#include "numbers.h"

namespace {

// Writes the FASTA record of a passing k-mer.
void writeRecord(OutputFile& out, int64_t index, std::string_view kmer) {
    char* header = out.reserve(22);
    header[0] = '>';
    const size_t n = 1 + formatDecimal(header + 1, static_cast<uint64_t>(index));
    header[n] = '\n';
    out.commit(n + 1);
    out.write(kmer.data(), kmer.size());
    out.put('\n');
}

void writeNumber(OutputFile& out, double v) {
    char* text = out.reserve(shortestLength);
    out.commit(formatShortest(text, v));
}

// The record's fields, the k-mer and the p-value text (and the integers'
// texts for a table) as the reader split them, and its p-value.
struct Passed {
    const std::string_view* fields;
    double p;
};

// Writes a passing record as the sieve says.
void write(const Sieve& sieve, int64_t index, const Passed& r) {
    if (sieve.fasta) writeRecord(*sieve.fasta, index, r.fields[0]);
    if (sieve.table) {
        OutputFile& out = *sieve.table;
        out.put(sieve.group);
        out.put('\t');
        char* text = out.reserve(21);
        out.commit(formatDecimal(text, static_cast<uint64_t>(index)));
        for (int f = 0; f < 4; ++f) {
            out.put('\t');
            out.write(r.fields[f].data(), r.fields[f].size());
        }
        out.put('\t');
        writeNumber(out, sieve.adjust(r.p));
        out.put('\t');
        writeNumber(out, 0 - std::log10(r.p));  // 0, not -0, for p = 1
        out.put('\n');
    }
    if (sieve.passing) sieve.passing->push_back(r.p);
}

// The passing records, written at once on one thread...
struct Writer {
    const Sieve& sieve;
    int64_t index = 0;
    void pass(const Passed& r) { write(sieve, index++, r); }
};
// ... or kept by a chunk until it is merged: the fields the sieve writes,
// each record's ended by a newline, and the p-values.
struct Passing {
    std::string fields;
    std::vector<double> values;
    uint64_t count = 0;
};

}  // namespace

int64_t filter(ByteSource& in, const char* inName, const Sieve& sieve,
               const RecordThreads& threads) {
    Writer writer{sieve};
    const bool values = sieve.table || sieve.passing;
    const int fieldCount = sieve.table ? 4 : 1;
    const auto onText = [&](auto& into, const std::string_view* fields) {
        const Verdict v = verdict(fields[3], sieve.threshold, true);
        if (v == Verdict::NotANumber) return false;
        if (v != Verdict::Pass) return true;
        double p = 0;
        if (values) scanReal(fields[3], p), p += 0.0;  // -0 as 0
        if constexpr (std::is_same_v<std::decay_t<decltype(into)>, Writer>) {
            into.pass({fields, p});
        } else {
            // Every field the sieve writes, tab-separated; the k-mer first.
            for (int f = 0; f < fieldCount; ++f)
                into.fields.append(fields[f]).push_back(f + 1 < fieldCount ? '\t' : '\n');
            if (values) into.values.push_back(p);
            ++into.count;
        }
        return true;
    };
    const auto merge = [&](const Passing& chunk) {
        // The records before a bad one are written, as by one thread.
        const std::string_view text = chunk.fields;
        size_t at = 0;
        for (uint64_t r = 0; r < chunk.count; ++r) {
            std::string_view fields[4];
            for (int f = 0; f < fieldCount; ++f) {
                const size_t end = text.find(f + 1 < fieldCount ? '\t' : '\n', at);
                fields[f] = text.substr(at, end - at);
                at = end + 1;
            }
            writer.pass({fields, values ? chunk.values[r] : 0});
        }
    };
    if (sieve.table)
        readPValues<Passing, true>(in, inName, threads, writer, onText, merge);
    else
        readPValues<Passing>(in, inName, threads, writer, onText, merge);
    return writer.index;
}
