#include "seedtiler.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>

#include "e2e_harness.h"
#include "memory_file.h"
#include "reference.h"
#include "reverse.h"
#include "simd/kernels.h"
#include "task_pool.h"

namespace {

TEST(Reverse, ComplementsCaseSensitivelyAndReverses) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"", ""},         {"ACGT", "ACGT"}, {"AACG", "CGTT"}, {"ACGN", "NCGT"},
        {"acgt", "NNNN"}, {"AC\n", "NGT"},  {"A\r\n", "NNT"},
    };
    for (const auto& c : cases) {
        std::string out(std::strlen(c.in) + 1, '?');
        reverse(out.data(), c.in, std::strlen(c.in));
        EXPECT_EQ(out, std::string(c.out) + '?') << c.in;
        EXPECT_EQ(rc(c.in), c.out) << c.in;
    }
}

TEST(Seedtiler, WritesEveryWindowAndItsReverseComplement) {
    const std::string a31 = "ACGTACGTACGTACGTACGTACGTACGTACG";
    const std::string lower(31, 'a');
    const struct {
        std::string seed;
        std::string kmers;
    } cases[] = {
        {a31, a31 + "\n" + rc(a31) + "\n"},
        {a31 + "T",
         a31 + "\n" + rc(a31) + "\n" + a31.substr(1) + "T\n" + rc(a31.substr(1) + "T") + "\n"},
        {a31 + "\n", a31 + "\n" + rc(a31) + "\n"},
        {a31 + "\r\n", a31 + "\n" + rc(a31) + "\n"},
        // A carriage return that ends the file ends the line as "\r\n"
        // would; elsewhere it is a character like any other.
        {a31 + "\r", a31 + "\n" + rc(a31) + "\n"},
        {a31.substr(2) + "\rA\n", a31.substr(2) + "\rA\n" + rc(a31.substr(2) + "\rA") + "\n"},
        {a31.substr(1) + "\n", ""},
        {"\n\n", ""},
        {"", ""},
        {lower, lower + "\n" + std::string(31, 'N') + "\n"},
    };
    for (const auto& c : cases) {
        Scratch s;
        s.write("seed.txt", c.seed);
        RunResult r = s.run(SEEDTILER_PATH);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(s.read("kmers.txt"), c.kmers) << c.seed;
    }
}

TEST(Seedtiler, MatchesTheReferenceOnRandomAndLongLines) {
    std::mt19937_64 rng(3);
    std::string seed;
    for (int line = 0; line < 60; ++line) {
        const size_t len = line % 30 == 0 ? 250000 + rng() % 300000 : rng() % 200;
        for (size_t i = 0; i < len; ++i) seed += "ACGTACGTACGTNa\r"[rng() % 15];
        seed += rng() % 3 ? "\n" : "\r\n";
    }
    seed += std::string(25000, 'C') + "A";  // a long last line with no newline
    seed += std::string(10239, 'G') + "\n";
    Scratch s;
    s.write("seed.txt", seed);
    RunResult r = s.run(SEEDTILER_PATH);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(s.read("kmers.txt") == referenceKmers(seed));
}

// The tiling of `inputs` (three at most), read in order as one, by the
// steps, or the message of a failed run.
std::string tiled(const std::vector<std::string>& inputs, const TileOptions& options) {
    const int outFd = memoryFile("", 1);
    try {
        OutputFile out(outFd, "kmers.txt", outputCapacityFor(options.k, 256));
        std::vector<std::unique_ptr<ByteSource>> sources;
        std::vector<TileInput> named;
        for (size_t i = 0; i < inputs.size(); ++i) {
            // Memory files 0, 2 and 3: 1 holds the output.
            sources.push_back(plainSource(memoryFile(inputs[i], i ? int(i) + 1 : 0)));
            named.push_back({sources.back().get(), "seed.txt"});
        }
        tileInputs(named, out, options);
        out.flush();
    } catch (const Failure& failure) {
        return failure.message;
    }
    return contents(outFd);
}
std::string tiled(const std::string& input, const TileOptions& options) {
    return tiled(std::vector<std::string>{input}, options);
}

// For random k and sequences, one per line, as FASTA wrapped at random
// widths (1, and longer than the sequence, included) and as FASTQ: the
// windows of each sequence and nothing across sequences, read in pieces
// of any size.
TEST(Seedtiler, AnyLengthAndRecordFormMatchTheReference) {
    std::mt19937_64 rng(10);
    Scratch temporary;
    const char bases[] = "ACGTACGTacgtNx-.";
    const char qualities[] = "I#@>+5";
    TaskPool pool(3);
    for (int trial = 0; trial < 400; ++trial) {
        const size_t k = trial % 10 == 0 ? 60 + rng() % 200 : 1 + rng() % 40;
        std::vector<std::string> sequences(rng() % 6);
        std::string lines, records;
        std::vector<std::string> inputs(1);  // the records cut into several inputs
        for (std::string& seq : sequences) {
            if (rng() % 3 == 0 && inputs.size() < 3) inputs.emplace_back();
            const size_t len = rng() % 4 == 0 ? rng() % 600 : rng() % (2 * k + 2);
            for (size_t i = 0; i < len; ++i) seq += bases[rng() % 16];
            lines += seq + (rng() % 2 ? "\n" : "\r\n");
            const size_t wrap = rng() % 3 == 0 ? 1 : rng() % 3 == 0 ? len + 1 : 1 + rng() % 80;
            auto wrapped = [&](const std::string& text) {
                std::string out;
                for (size_t i = 0; i < text.size(); i += wrap)
                    out += text.substr(i, wrap) + (rng() % 2 ? "\n" : "\r\n");
                if (rng() % 5 == 0) out += "\n";  // a blank line
                return out;
            };
            std::string record;
            if (rng() % 2) {
                record = ">seq " + std::to_string(len) + "\n" + wrapped(seq);
            } else {
                std::string quality;
                for (size_t i = 0; i < len; ++i) quality += qualities[rng() % 6];
                record = "@seq\n" + wrapped(seq) + "+seq\n" + wrapped(quality);
            }
            records += record;
            inputs.back() += record;
        }
        const std::string expected = referenceKmers(lines, k);
        TileOptions options;
        options.k = k;
        options.limit = 2 + rng() % 100;
        ASSERT_TRUE(tiled(lines, options) == expected) << "trial " << trial << ", k " << k;
        options.fasta = true;
        ASSERT_TRUE(tiled(records, options) == expected) << "trial " << trial << ", k " << k;
        // The k-mer sets and counts: every combination of the options
        // against the pairs above, transformed, sorted and counted in
        // memory (sort | uniq -c), of the records read as one or as
        // several inputs; small buffers spill runs to merge.
        options.canonical = rng() % 2, options.upper = rng() % 2;
        options.acgtOnly = rng() % 2, options.unique = rng() % 2, options.count = rng() % 3 == 0;
        const uint64_t bounds[] = {0, 1, 2, 3, 1000};
        options.minCount = options.count ? bounds[rng() % 5] : 1;
        options.maxCount = options.count && rng() % 2 ? bounds[rng() % 5] : UINT64_MAX;
        options.bufferBytes = 64 + rng() % 4096;
        options.pool = rng() % 2 ? nullptr : &pool;
        options.tempDir = temporary.path("");
        std::string upperLines = lines;
        for (char& c : upperLines) c = options.upper && c >= 'a' && c <= 'z' ? char(c - 32) : c;
        std::vector<std::string> pairs = splitLines(referenceKmers(upperLines, k)), chosen;
        for (size_t i = 0; i + 1 < pairs.size(); i += 2) {
            const std::string &w = pairs[i], &rc = pairs[i + 1];
            if (options.acgtOnly && w.find_first_not_of("ACGT") != std::string::npos) continue;
            if (options.canonical)
                chosen.push_back(std::min(w, rc));
            else
                chosen.push_back(w), chosen.push_back(rc);
        }
        std::string set;
        if (options.unique || options.count) {
            std::sort(chosen.begin(), chosen.end());
            for (size_t i = 0, j; i < chosen.size(); i = j) {
                for (j = i + 1; j < chosen.size() && chosen[j] == chosen[i];) ++j;
                const uint64_t n = j - i;
                if (!options.count)
                    set += chosen[i] + "\n";
                else if (n >= options.minCount && n <= options.maxCount)
                    set += chosen[i] + "\t" + std::to_string(n) + "\n";
            }
        } else {
            for (const std::string& line : chosen) set += line + "\n";
        }
        ASSERT_TRUE(tiled(inputs, options) == set)
            << "trial " << trial << ", k " << k << (options.canonical ? " canonical" : "")
            << (options.upper ? " upper" : "") << (options.acgtOnly ? " acgt-only" : "")
            << (options.unique ? " unique" : "") << (options.count ? " count" : "") << " ["
            << options.minCount << ", " << options.maxCount << "] -S " << options.bufferBytes
            << " in " << inputs.size();
        ASSERT_EQ(temporary.names(), std::vector<std::string>{}) << "no run is left";
    }
}

// Malformed FASTA/FASTQ input: the file and the line, exit 1. Without
// --fasta the same text is tiled as lines, with a warning where the first
// line starts a record (not with -q).
TEST(Seedtiler, RejectsWhatIsNotFastaOrFastq) {
    const struct {
        const char* input;
        const char* message;
    } cases[] = {
        {"ACGT\n>r\nACGT\n",
         "seed.txt:1: expected a FASTA ('>') or FASTQ ('@') record, found 'ACGT'"},
        {"\n\nplain text\n",
         "seed.txt:3: expected a FASTA ('>') or FASTQ ('@') record, found 'plain text'"},
        {"@r\nACGT\n+\nII\n",
         "seed.txt:1: the FASTQ record's quality (2 characters) is shorter than its sequence (4)"},
        {"@r\nAC\n+\nIIII\n",
         "seed.txt:1: the FASTQ record's quality (4 characters) is longer than its sequence (2)"},
        {"@r\nACGT\n>s\nAC\n", "seed.txt:3: a FASTQ record ends without its '+' line"},
        {"@r\nACGT\n", "seed.txt:1: a FASTQ record ends without its '+' line"},
        {">r\nACGT\n@q\nAC\n", "seed.txt:3: a FASTQ record ends without its '+' line"},
        {"@r\nAC\n+\nII\nACGT\n",
         "seed.txt:5: expected a FASTA ('>') or FASTQ ('@') record, found 'ACGT'"},
    };
    for (const auto& c : cases) {
        Scratch s;
        s.write("seed.txt", c.input);
        RunResult r = s.run(SEEDTILER_PATH, {"--fasta", "-k", "2"});
        EXPECT_EQ(r.status, 1) << c.input;
        EXPECT_EQ(r.err, std::string("seedtiler: ") + c.message + "\n");
        const char first = c.input[0];
        const std::string format = first == '@' ? "FASTQ" : "FASTA";
        for (const bool quiet : {false, true}) {
            r = s.run(SEEDTILER_PATH, {"-k", "2", quiet ? "-q" : "-k2"});
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, quiet || (first != '>' && first != '@')
                                 ? ""
                                 : "seedtiler: warning: 'seed.txt' looks like " + format +
                                       " (its first line starts with '" + first +
                                       "'); --fasta reads it as records\n");
            EXPECT_EQ(s.read("kmers.txt"), referenceKmers(c.input, 2));
        }
    }
}

TEST(Seedtiler, HelpAndVersionTouchNoFile) {
    Scratch s;
    RunResult help = s.run(SEEDTILER_PATH, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: seedtiler"), std::string::npos);
    RunResult version = s.run(SEEDTILER_PATH, {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("seedtiler ", 0), 0u);
    EXPECT_FALSE(s.exists("kmers.txt"));
    EXPECT_EQ(s.run(SEEDTILER_PATH, {"--help"}, Stdout::DevFull).status, 1);
}

// KMERTOOLS_SIMD picks the kernels, which --version names; a set this CPU
// cannot run, or an unknown one, is a usage error.
TEST(Seedtiler, EnvironmentChoosesTheKernels) {
    Scratch s;
    for (simd::Set set : simd::allSets) {
        setenv("KMERTOOLS_SIMD", simd::setName(set), 1);
        RunResult r = s.run(SEEDTILER_PATH, {"--version"});
        if (simd::supported(set)) {
            EXPECT_EQ(r.status, 0);
            EXPECT_NE(r.out.find(std::string("scanning kernels: ") + simd::setName(set) + "\n"),
                      std::string::npos);
        } else {
            EXPECT_EQ(r.status, 2);
        }
    }
    setenv("KMERTOOLS_SIMD", "neon", 1);
    RunResult r = s.run(SEEDTILER_PATH, {"--version"});
    unsetenv("KMERTOOLS_SIMD");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              "seedtiler: KMERTOOLS_SIMD=neon: unknown instruction set (scalar, sse2, avx2, "
              "avx512, avx512vbmi2)\nTry 'seedtiler --help' for more information.\n");
}

}  // namespace
