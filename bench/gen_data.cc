// Writes deterministic benchmark inputs into the current directory.
//   gen_data seed      seed.txt: 1,000 seeds of 5,000 bases
//   gen_data sigsieve  total_kmers.txt and two .kmerDiff files of 5,000,000 records
//   gen_data cohort    test.txt: 100,000 rows of 100 case and 100 control counts
//   gen_data genome    genome.fa: 50 Mbp in 8 records wrapped at 60, with runs
//                      of N, soft-masked stretches and repeats
//   gen_data reads     reads.fq: 150 bp reads of a 10 Mbp genome-like
//                      sequence at 20x, both strands, 0.5% errors (FASTQ)
//   gen_data unitigs   hits.kmerDiff: the 510,000 31-mers of 3,000 sequences of
//                      200 bases, shuffled, either strand, all passing;
//                      mixed.kmerDiff: 10,000,000 records, of which the
//                      1,000,000 31-mers of 5,000 sequences of 230 bases pass;
//                      none.kmerDiff (empty) and total_kmers.txt
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

uint64_t state = 0x9E3779B97F4A7C15u;
uint64_t next() {  // xorshift64*
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1Du;
}

FILE* create(const char* name) {
    FILE* f = std::fopen(name, "w");
    if (!f) {
        std::perror(name);
        std::exit(1);
    }
    return f;
}

void finish(FILE* f, const char* name) {
    if (std::fclose(f) != 0) {
        std::perror(name);
        std::exit(1);
    }
}

void seeds() {
    FILE* f = create("seed.txt");
    std::string line(5000, 'A');
    for (int i = 0; i < 1000; ++i) {
        for (char& c : line) c = "ACGT"[next() & 3];
        std::fprintf(f, "%s\n", line.c_str());
    }
    finish(f, "seed.txt");
}

void diffRecords(const char* name) {
    FILE* f = create(name);
    char kmer[32] = {};
    for (int i = 0; i < 5000000; ++i) {
        for (int j = 0; j < 31; ++j) kmer[j] = "ACGT"[next() & 3];
        const uint64_t r = next();
        const int a = static_cast<int>(r % 200), b = static_cast<int>((r >> 8) % 200);
        const double u = static_cast<double>(next() >> 11) / 9007199254740992.0;
        // About 2% small values, spread around the 5e-9 threshold.
        const bool small = (r >> 16) % 50 == 0;
        const double p = small ? u * 1e-7 : u;
        switch ((r >> 24) % 4) {
            case 0:
                std::fprintf(f, "%s\t%d\t%d\t%.6f\n", kmer, a, b, p);
                break;
            case 1:
                std::fprintf(f, "%s\t%d\t%d\t%g\n", kmer, a, b, p);
                break;
            case 2:
                std::fprintf(f, "%s\t%d\t%d\t%.16e\n", kmer, a, b, p);
                break;
            default:
                std::fprintf(f, "%s\t%d\t%d\t%.6g\n", kmer, a, b, p);
                break;
        }
    }
    finish(f, name);
}

void countTable() {
    FILE* f = create("test.txt");
    char kmer[32] = {};
    for (int i = 0; i < 100000; ++i) {
        for (int j = 0; j < 31; ++j) kmer[j] = "ACGT"[next() & 3];
        std::fprintf(f, "%s\t%d\t%d\t%.6g", kmer, static_cast<int>(next() % 100),
                     static_cast<int>(next() % 100), static_cast<double>(next() % 1000000) / 1e6);
        for (int j = 0; j < 200; ++j) {
            const uint64_t r = next();
            const int count = r % 3 == 0    ? 0
                              : r % 50 == 1 ? static_cast<int>((r >> 8) % 10000)
                                            : static_cast<int>((r >> 8) % 100);
            std::fprintf(f, "\t%d", count);
        }
        std::fputc('\n', f);
    }
    finish(f, "test.txt");
}

std::string reverseComplement(const std::string& s) {
    std::string rc(s.rbegin(), s.rend());
    for (char& c : rc) c = c == 'A' ? 'T' : c == 'C' ? 'G' : c == 'G' ? 'C' : c == 'T' ? 'A' : c;
    return rc;
}

// Random sequence in which about a tenth is copied from earlier (repeats,
// some reverse-complemented or with a mutation), with N runs when `gaps`.
std::string randomGenome(size_t length, bool gaps) {
    std::string seq;
    while (seq.size() < length) {
        const uint64_t r = next() % 1000;
        if (r < 2 && gaps) {  // an N run
            seq.append(100 + next() % 5000, 'N');
        } else if (r < 100 && seq.size() > 10000) {  // a repeat
            const size_t n = 50 + next() % 3000, from = next() % (seq.size() - n);
            std::string copy = seq.substr(from, n);
            if (next() % 2) copy = reverseComplement(copy);
            if (next() % 3 == 0) copy[next() % n] = "ACGT"[next() & 3];
            seq += copy;
        } else {
            for (int i = 0; i < 1000; ++i) seq += "ACGT"[next() & 3];
        }
    }
    seq.resize(length);
    return seq;
}

// Sequencing reads of a genome-like sequence of 10 Mbp: 150 bp from either
// strand at 20x coverage, with 0.5% substitution errors, as FASTQ.
void reads() {
    FILE* f = create("reads.fq");
    const std::string genome = randomGenome(10000000, false);
    const size_t length = 150, count = genome.size() * 20 / length;
    const std::string quality(length, 'I');
    for (size_t i = 0; i < count; ++i) {
        std::string read = genome.substr(next() % (genome.size() - length), length);
        if (next() % 2) read = reverseComplement(read);
        for (char& c : read)  // a substitution: another base
            if (next() % 200 == 0)
                c = "ACGT"[(std::strchr("ACGT", c) - "ACGT" + 1 + next() % 3) % 4];
        std::fprintf(f, "@r%zu\n%s\n+\n%s\n", i, read.c_str(), quality.c_str());
    }
    finish(f, "reads.fq");
}

// A genome-like FASTA: random sequence in which about a tenth is copied
// from earlier (repeats, some reverse-complemented or with a mutation),
// with N runs and lower-case (soft-masked) stretches.
void genome() {
    FILE* f = create("genome.fa");
    std::string seq;
    for (int record = 0; record < 8; ++record) {
        const size_t length = 6250000;
        seq = randomGenome(length, true);
        // Soft-masked stretches: a few percent of the sequence.
        for (int m = 0; m < 300; ++m) {
            const size_t at = next() % length,
                         n = std::min<size_t>(length - at, 200 + next() % 2000);
            for (size_t i = at; i < at + n; ++i)
                if (seq[i] != 'N') seq[i] = static_cast<char>(seq[i] | 0x20);
        }
        std::fprintf(f, ">chr%d\n", record + 1);
        for (size_t i = 0; i < length; i += 60)
            std::fprintf(f, "%.*s\n", static_cast<int>(std::min<size_t>(60, length - i)),
                         seq.data() + i);
    }
    finish(f, "genome.fa");
}

// The 31-mers of `count` random sequences of `length` bases, shuffled,
// each on either strand.
std::vector<std::string> tiledKmers(int count, size_t length) {
    std::vector<std::string> kmers;
    for (int s = 0; s < count; ++s) {
        std::string seq(length, 'A');
        for (char& c : seq) c = "ACGT"[next() & 3];
        for (size_t at = 0; at + 31 <= length; ++at) {
            std::string kmer = seq.substr(at, 31);
            kmers.push_back(next() % 2 ? reverseComplement(kmer) : kmer);
        }
    }
    for (size_t i = kmers.size(); i > 1; --i) std::swap(kmers[i - 1], kmers[next() % i]);
    return kmers;
}

void unitigInputs() {
    FILE* total = create("total_kmers.txt");
    std::fprintf(total, "10000000000\n");
    finish(total, "total_kmers.txt");
    finish(create("none.kmerDiff"), "none.kmerDiff");
    FILE* f = create("hits.kmerDiff");
    for (const std::string& kmer : tiledKmers(3000, 200))
        std::fprintf(f, "%s\t12\t0\t%.3e\n", kmer.c_str(),
                     static_cast<double>(next() % 1000 + 1) * 1e-15);
    finish(f, "hits.kmerDiff");
    f = create("mixed.kmerDiff");
    const std::vector<std::string> hits = tiledKmers(5000, 230);
    size_t next_hit = 0;
    char kmer[32] = {};
    for (int i = 0; i < 10000000; ++i) {
        // Every tenth record, about, passes.
        if (next_hit < hits.size() &&
            (next() % 10 == 0 || 10000000 - i <= static_cast<int>(hits.size() - next_hit))) {
            std::fprintf(f, "%s\t12\t0\t%.3e\n", hits[next_hit++].c_str(),
                         static_cast<double>(next() % 1000 + 1) * 1e-15);
            continue;
        }
        for (int j = 0; j < 31; ++j) kmer[j] = "ACGT"[next() & 3];
        std::fprintf(f, "%s\t3\t4\t%.4g\n", kmer,
                     static_cast<double>(next() >> 11) / 9007199254740992.0 + 1e-6);
    }
    finish(f, "mixed.kmerDiff");
}

}  // namespace

int main(int argc, char** argv) {
    const char* what = argc > 1 ? argv[1] : "";
    if (!std::strcmp(what, "seed")) {
        seeds();
    } else if (!std::strcmp(what, "sigsieve")) {
        FILE* total = create("total_kmers.txt");
        std::fprintf(total, "10000000\n");
        finish(total, "total_kmers.txt");
        diffRecords("case_out_wo_bonf.kmerDiff");
        diffRecords("control_out_wo_bonf.kmerDiff");
    } else if (!std::strcmp(what, "cohort")) {
        countTable();
    } else if (!std::strcmp(what, "genome")) {
        genome();
    } else if (!std::strcmp(what, "reads")) {
        reads();
    } else if (!std::strcmp(what, "unitigs")) {
        unitigInputs();
    } else {
        std::fprintf(stderr, "usage: gen_data seed|sigsieve|cohort|genome|reads|unitigs\n");
        return 2;
    }
    return 0;
}
