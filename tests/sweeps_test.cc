// The random differential sweeps at full size (label "heavy").
#include "sweeps.h"

namespace {

TEST(Sweep, ParseRealMatchesStrtod) {
    sweepParseReal(3000000);
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
