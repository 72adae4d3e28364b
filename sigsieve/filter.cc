#include "filter.h"

#include <cinttypes>
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
// p-values. For unitigs, the k-mers packed and the p-values' texts, up to
// the first passing k-mer that differs from the stretch's first in length
// or holds another character than A, C, G and T; those two k-mers, each
// with its line in the stretch.
struct Passing {
    std::string fields;
    std::vector<double> values;
    std::vector<uint64_t> packed;
    std::string pTexts;
    uint64_t count = 0;
    int64_t records = 0;  // read, passing or not
    std::string firstKmer, badKmer;
    uint64_t firstLine = 0, badLine = 0;
    uint64_t badAt = 0;  // the passing records before the unfit one
};

[[noreturn]] void failUnfit(const char* name, uint64_t line, const std::string& kmer, int k) {
    const char* what = "--unitigs needs k-mers of one length over A, C, G and T";
    const size_t bad = kmer.find_first_not_of("ACGTacgt");
    if (bad != std::string::npos)
        fail("%s:%" PRIu64 ": %s: '%.*s' holds '%c'", name, line, what, shown(kmer.size()),
             kmer.data(), kmer[bad]);
    if (kmer.size() > static_cast<size_t>(maxUnitigK))
        fail("%s:%" PRIu64 ": --unitigs joins k-mers of at most %d characters: '%.*s' has %zu",
             name, line, maxUnitigK, shown(kmer.size()), kmer.data(), kmer.size());
    fail("%s:%" PRIu64 ": %s: '%.*s' has %zu characters, the first passing k-mer %d", name, line,
         what, shown(kmer.size()), kmer.data(), kmer.size(), k);
}

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
        if (const GroupUnitigs* unitigs = sieve.rowUnitigs) {
            out.put('\t');
            const uint64_t unitig =
                unitigs->base() + unitigs->unitigOfRecords()[static_cast<size_t>(index)];
            out.commit(formatDecimal(out.reserve(21), unitig));
        }
        out.put('\n');
    }
    if (sieve.passing) sieve.passing->push_back(p);
}

}  // namespace

Filtered filter(ByteSource& in, const char* inName, const Sieve& sieve,
                const RecordThreads& threads) {
    int64_t index = 0, records = 0;
    const bool values = sieve.table || sieve.passing;
    // The fields kept of a passing record: the k-mer; for a table the
    // integers' and the p-value's texts too.
    const int fieldCount = sieve.table ? 4 : 1;
    // A passing record kept: off the common path, which is a failing one.
    const auto keep = [&](Passing & into, const std::string_view* fields, uint64_t line)
        __attribute__((noinline)) {
        if (sieve.unitigK && !into.badLine) {
            const std::string_view kmer = fields[0];
            if (!into.firstLine) into.firstKmer = kmer, into.firstLine = line;
            uint64_t words[2];
            if (kmer.size() != into.firstKmer.size() || kmer.size() > maxUnitigK ||
                !packCanonical(kmer, words)) {
                into.badKmer = kmer, into.badLine = line, into.badAt = into.count;
            } else {
                into.packed.insert(into.packed.end(), words, words + packedWords(kmer.size()));
                appendPText(into.pTexts, fields[3]);
            }
        }
        // Every field the sieve writes, tab-separated; the k-mer first.
        for (int f = 0; f < fieldCount; ++f)
            into.fields.append(fields[f]).push_back(f + 1 < fieldCount ? '\t' : '\n');
        if (values) into.values.push_back(paddedPValue(fields[3]));  // (padded, as a line is)
        ++into.count;
    };
    const auto onText = [&](Passing & into, const std::string_view* fields, uint64_t line)
        __attribute__((always_inline)) {
        ++into.records;
        const Verdict v = verdict(fields[3], sieve.threshold, true);
        if (v == Verdict::NotANumber) return false;
        if (v == Verdict::Pass) keep(into, fields, line);
        return true;
    };
    const auto merge = [&](const Passing& chunk, uint64_t linesBefore) {
        // The records before a bad one are written, as by one thread; the
        // k-mer unfit for unitigs is such a record.
        uint64_t upTo = chunk.count, unfitLine = 0;
        const std::string* unfit = nullptr;
        if (sieve.unitigK && chunk.firstLine) {
            int& k = *sieve.unitigK;
            const size_t length = chunk.firstKmer.size();
            if (k == 0 && length <= static_cast<size_t>(maxUnitigK)) k = static_cast<int>(length);
            if (length != static_cast<size_t>(k))
                upTo = 0, unfitLine = chunk.firstLine, unfit = &chunk.firstKmer;
            else if (chunk.badLine)
                upTo = chunk.badAt, unfitLine = chunk.badLine, unfit = &chunk.badKmer;
            if (k && !*sieve.unitigs) *sieve.unitigs = std::make_unique<GroupUnitigs>(k);
        }
        records += chunk.records;
        const std::string_view text = chunk.fields;
        size_t at = 0;
        for (uint64_t r = 0; r < upTo; ++r) {
            std::string_view fields[4];
            for (int f = 0; f < fieldCount; ++f) {
                const size_t end = text.find(f + 1 < fieldCount ? '\t' : '\n', at);
                fields[f] = text.substr(at, end - at);
                at = end + 1;
            }
            write(sieve, index++, fields, values ? chunk.values[r] : 0);
        }
        if (unfit) failUnfit(inName, linesBefore + unfitLine, *unfit, *sieve.unitigK);
        if (sieve.unitigK && chunk.count)
            (*sieve.unitigs)->add(chunk.packed.data(), chunk.pTexts, chunk.count);
    };
    if (sieve.table)
        readPValues<Passing, true>(in, inName, threads, onText, merge);
    else
        readPValues<Passing>(in, inName, threads, onText, merge);
    return {records, index};
}
