// The random differential sweeps at full size (label "heavy").
#include "sweeps.h"

namespace {

TEST(Sweep, ParseRealMatchesStrtod) {
    sweepParseReal(3000000);
    sweepShortPValues(3000000);
}
TEST(Sweep, BonferroniVerdictsMatchStrtodComparison) {
    sweepVerdicts(2000000);
}
TEST(Sweep, CountRowsUnderEveryKernel) {
    underEverySet([](simd::Set) { sweepCountRows(300000); });
}
TEST(Sweep, KernelsMatchScalarOnLongBuffers) {
    sweepKernels(300000);
}

}  // namespace

#include <sys/resource.h>

#include <cstdio>
#include <random>

#include "e2e_harness.h"

namespace {

// 10^8 records through every correction with the report and the plot:
// memory stays under 64 MiB and the plot under 1 MB.
TEST(Sweep, CorrectionsOnAHundredMillionRecords) {
    Scratch s;
    for (const char* name : {"case_out_wo_bonf.kmerDiff", "control_out_wo_bonf.kmerDiff"}) {
        FILE* f = std::fopen(s.path(name).c_str(), "w");
        ASSERT_TRUE(f);
        std::mt19937_64 rng(name[1]);
        char line[] = "K 1 2 0.0000000\n";
        for (int i = 0; i < 50000000; ++i) {
            uint64_t r = rng();
            for (int d = 14; d >= 8; --d, r /= 10) line[d] = static_cast<char>('0' + r % 10);
            if (i % 1000 == 0) line[8] = line[9] = line[10] = '0';  // small ones
            std::fputs(line, f);
        }
        ASSERT_EQ(std::fclose(f), 0);
    }
    const RunResult r =
        s.run(SIGSIEVE_PATH, {"-n", "200000000", "-m", "bh", "--report=r.tsv", "--qq-plot=q.svg"});
    ASSERT_EQ(r.status, 0) << r.err;
    struct rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    EXPECT_LT(usage.ru_maxrss, 64 * 1024) << "KiB";
    std::printf("peak %ld KiB\n", usage.ru_maxrss);
    EXPECT_LT(s.read("q.svg").size(), 1u << 20);
    std::printf("%s", s.read("r.tsv").c_str());
}

}  // namespace
