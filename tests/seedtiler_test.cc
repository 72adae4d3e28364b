#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>

#include "e2e_harness.h"
#include "reference.h"
#include "reverse.h"
#include "simd/kernels.h"

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
              "avx512)\nTry 'seedtiler --help' for more information.\n");
}

}  // namespace
