#include "filter.h"

#include <cmath>
#include <string>
#include <string_view>

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

// The passing records of a stretch of the input, kept until it is merged:
// the fields the sieve writes, each record's ended by a newline, and the
// p-values.
struct Passing {
    std::string fields;
    std::vector<double> values;
    uint64_t count = 0;
    int64_t records = 0;  // read, passing or not
};

// Writes a passing record as the sieve says: its fields (the k-mer, and
// for a table the two integers' and the p-value's texts) and its p-value.
void write(const Sieve& sieve, int64_t index, const std::string_view* fields, double p) {
    if (sieve.fasta) writeRecord(*sieve.fasta, index, fields[0]);
    if (sieve.table) {
        OutputFile& out = *sieve.table;
        out.put(sieve.group);
        out.put('\t');
        char* text = out.reserve(21);
        out.commit(formatDecimal(text, static_cast<uint64_t>(index)));
        for (int f = 0; f < 4; ++f) {
            out.put('\t');
            out.write(fields[f].data(), fields[f].size());
        }
        out.put('\t');
        writeNumber(out, sieve.adjust(p));
        out.put('\t');
        writeNumber(out, 0 - std::log10(p));  // 0, not -0, for p = 1
        out.put('\n');
    }
    if (sieve.passing) sieve.passing->push_back(p);
}

}  // namespace

Filtered filter(ByteSource& in, const char* inName, const Sieve& sieve,
                const RecordThreads& threads) {
    int64_t index = 0, records = 0;
    const bool values = sieve.table || sieve.passing;
    const int fieldCount = sieve.table ? 4 : 1;
    const auto onText = [&](Passing& into, const std::string_view* fields) {
        ++into.records;
        const Verdict v = verdict(fields[3], sieve.threshold, true);
        if (v == Verdict::NotANumber) return false;
        if (v != Verdict::Pass) return true;
        // Every field the sieve writes, tab-separated; the k-mer first.
        for (int f = 0; f < fieldCount; ++f)
            into.fields.append(fields[f]).push_back(f + 1 < fieldCount ? '\t' : '\n');
        if (values) {
            double p = 0;
            scanReal(fields[3], p);
            into.values.push_back(p + 0.0);  // -0 as 0
        }
        ++into.count;
        return true;
    };
    const auto merge = [&](const Passing& chunk) {
        // The records before a bad one are written, as by one thread.
        records += chunk.records;
        const std::string_view text = chunk.fields;
        size_t at = 0;
        for (uint64_t r = 0; r < chunk.count; ++r) {
            std::string_view fields[4];
            for (int f = 0; f < fieldCount; ++f) {
                const size_t end = text.find(f + 1 < fieldCount ? '\t' : '\n', at);
                fields[f] = text.substr(at, end - at);
                at = end + 1;
            }
            write(sieve, index++, fields, values ? chunk.values[r] : 0);
        }
    };
    if (sieve.table)
        readPValues<Passing, true>(in, inName, threads, onText, merge);
    else
        readPValues<Passing>(in, inName, threads, onText, merge);
    return {records, index};
}
