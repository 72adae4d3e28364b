// The corrections against a plain reference that sorts every p-value in
// memory, on random sets full of ties, zeros, subnormals, nan and values
// one ulp around the thresholds; the normal quantile and lambda against
// published values.
#include "corrections.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <random>
#include <vector>

#include "pi0.h"
#include "reference.h"
#include "report.h"

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

// The cutoff by sorting: the present p-values sorted, the total - n absent
// ones standing as a block of 1s among them.
Cutoff referenceCutoff(Method method, double alpha, int64_t total, std::vector<double> values,
                       double pi0) {
    values.erase(std::remove_if(values.begin(), values.end(), [](double p) { return p != p; }),
                 values.end());
    std::sort(values.begin(), values.end());
    const uint64_t n = values.size(), ones = static_cast<uint64_t>(total) - n;
    const uint64_t below = std::upper_bound(values.begin(), values.end(), 1.0) - values.begin();
    // Rank r (from 1) of the sorted family; the block holds ranks below+1 .. below+ones.
    auto at = [&](uint64_t r) {
        if (r <= below) return values[r - 1];
        if (r <= below + ones) return 1.0;
        return values[r - 1 - ones];
    };
    const double N = static_cast<double>(total);
    // The first rank i with p(i) >= t(i); the last rank k with p(k) <= t(k).
    const auto stepDown = [&](auto t) -> Cutoff {
        for (uint64_t i = 1; i <= below; ++i)
            if (at(i) >= t(i)) return {at(i), false};
        if (ones && 1.0 >= t(below + 1)) return {1.0, false};
        for (uint64_t i = below + ones + 1; i <= uint64_t(total); ++i)
            if (at(i) >= t(i)) return {at(i), false};
        return {inf, false};
    };
    const auto stepUp = [&](auto t) -> Cutoff {
        for (uint64_t k = uint64_t(total); k > below + ones; --k)
            if (at(k) <= t(k)) return {at(k), true};
        if (ones && 1.0 <= t(below + ones)) return {1.0, true};
        for (uint64_t k = below; k >= 1; --k)
            if (at(k) <= t(k)) return {at(k), true};
        return {-inf, false};
    };
    const auto fromTop = [&](uint64_t i) { return static_cast<double>(total - int64_t(i) + 1); };
    switch (method) {
        case Method::Holm:
            return stepDown([&](uint64_t i) { return alpha / fromTop(i); });
        case Method::SidakSD:
            return stepDown(
                [&](uint64_t i) { return -std::expm1(std::log1p(-alpha) / fromTop(i)); });
        case Method::Hochberg:
            return stepUp([&](uint64_t k) { return alpha / fromTop(k); });
        case Method::BH:
        case Method::BY: {
            const double a = method == Method::BY ? alpha / harmonic(total) : alpha;
            return stepUp([&](uint64_t k) { return (static_cast<double>(k) * a) / N; });
        }
        case Method::Storey:
            return stepUp([&](uint64_t k) { return (static_cast<double>(k) * alpha) / (pi0 * N); });
        case Method::Sidak:
            return {-std::expm1(std::log1p(-alpha) / N), false};
        default:
            return {alpha / N, false};
    }
}

struct Family {
    std::vector<double> values;
    int64_t total;
    double alpha;
};

Family randomFamily(std::mt19937_64& rng) {
    Family f;
    std::uniform_real_distribution<double> unit(0, 1);
    const double alphas[] = {0.05, 1, 1e-3, unit(rng)};
    f.alpha = alphas[rng() % 4];
    if (f.alpha == 0) f.alpha = 0.5;
    const size_t n = rng() % 300;
    const int64_t extra[] = {0, int64_t(rng() % 5), int64_t(rng() % 100000),
                             int64_t{1000000000000000000}};
    f.total = int64_t(n) + extra[rng() % 4];
    if (f.total == 0) f.total = 1;
    const double N = static_cast<double>(f.total);
    const double ties[] = {0.0, -0.0, 5e-324, 1e-300, 0.5, 1.0, 2.0, -1.0, 1e-8};
    for (size_t i = 0; i < n; ++i) {
        double p;
        switch (rng() % 8) {
            case 0:
                p = ties[rng() % 9];
                break;
            case 1:
                p = std::ldexp(unit(rng), -1074 + int(rng() % 60));  // subnormal or near
                break;
            case 2:
                p = std::nan("");
                break;
            case 3:
            case 4: {  // one ulp around some rank's threshold
                const double k = static_cast<double>(1 + rng() % (n + 1));
                const double m = static_cast<double>(f.total - int64_t(k) + 1);
                const double t = rng() % 3 == 0   ? (k * f.alpha) / N
                                 : rng() % 2 == 0 ? f.alpha / m
                                                  : -std::expm1(std::log1p(-f.alpha) / m);
                p = rng() % 3 == 0 ? t : std::nextafter(t, rng() % 2 ? inf : -inf);
                break;
            }
            case 5:
                p = std::pow(unit(rng), 8);
                break;
            default:
                p = unit(rng);
        }
        f.values.push_back(p);
    }
    return f;
}

TEST(Corrections, EveryMethodMatchesSortingInMemory) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 800; ++round) {
        const Family f = randomFamily(rng);
        uint64_t present = 0;
        Histogram first(0, 64 - Histogram::bits);
        for (const double p : f.values)
            if (p == p) ++present, first.add(orderKey(p), p);
        const uint64_t ones = uint64_t(f.total) - present;
        first.add(orderKey(1.0), 1.0, ones);
        // Small caps make every cell be read again in finer cells.
        const uint64_t cap = round % 3 == 0 ? defaultExactCap : round % 3;
        const Refine refine = refineFrom(
            [&](const std::function<void(double)>& each) {
                for (const double p : f.values) each(p);
            },
            ones, cap);
        const double pi0s[] = {1, 0.5, std::ldexp(1, -20), 0.3};
        const double pi0 = pi0s[round % 4];
        for (const Method m : {Method::Bonferroni, Method::Holm, Method::BH, Method::BY,
                               Method::Hochberg, Method::Sidak, Method::SidakSD, Method::Storey}) {
            const Cutoff expected = referenceCutoff(m, f.alpha, f.total, f.values, pi0);
            const Cutoff got = methodCutoff(m, f.alpha, f.total, first.cells(), refine, pi0);
            ASSERT_TRUE(got.value == expected.value && got.inclusive == expected.inclusive)
                << methodName(m) << " round " << round << ": " << got.value << " vs "
                << expected.value << ", n " << present << ", N " << f.total << ", alpha "
                << f.alpha;
            // The adjusted p-values of the passing ones, from them alone,
            // are R's over the whole family, bit for bit.
            if (f.total > 100000) continue;
            std::vector<double> values = f.values;  // -0 read as 0, as sigsieve does
            for (double& p : values) p += 0.0;
            const std::vector<double> all = referenceAdjusted(m, f.total, values, pi0);
            std::deque<double> passing;
            for (const double p : values)
                if (got.inclusive ? p <= got.value : p < got.value) passing.push_back(p);
            std::sort(passing.begin(), passing.end());
            const std::vector<double> adjusted =
                adjustedPValues(m, f.total, passing, uint64_t(f.total) - present, pi0);
            for (size_t i = 0; i < values.size(); ++i) {
                const double p = values[i];
                // (Below 0, R gives tied values different adjusted values,
                // by their order in the input; sigsieve gives them one.)
                if (!(got.inclusive ? p <= got.value : p < got.value) || p < 0) continue;
                const size_t at =
                    std::lower_bound(passing.begin(), passing.end(), p) - passing.begin();
                ASSERT_EQ(std::memcmp(&adjusted[at], &all[i], sizeof(double)), 0)
                    << methodName(m) << " round " << round << ": p " << p << " gives "
                    << adjusted[at] << ", R " << all[i] << ", N " << f.total;
            }
        }
        if (present == 0) continue;
        std::vector<double> sorted;
        for (const double p : f.values)
            if (p == p) sorted.push_back(p);
        std::sort(sorted.begin(), sorted.end());
        Histogram own(0, 64 - Histogram::bits);
        for (const double p : sorted) own.add(orderKey(p), p);
        const Refine refineOwn = refineFrom(
            [&](const std::function<void(double)>& each) {
                for (const double p : sorted) each(p);
            },
            0, cap);
        const double expected = present % 2 ? sorted[present / 2]
                                            : sorted[present / 2 - 1] / 2 + sorted[present / 2] / 2;
        EXPECT_EQ(median(own.cells(), present, refineOwn), expected) << round;
    }
}

// Published values: quantiles of the standard normal distribution, the
// median of chi-square with one degree of freedom, harmonic numbers.
TEST(Corrections, NormalQuantileLambdaAndHarmonicNumbers) {
    const struct {
        double tail, z;
    } quantiles[] = {
        {0.5, 0.0},
        {0.25, 0.6744897501960817},
        {0.1, 1.2815515655446004},
        {0.05, 1.6448536269514722},
        {0.025, 1.959963984540054},
        {0.01, 2.3263478740408408},
        {0.001, 3.090232306167813},
        {1e-9, 5.997807015007686},
        {1e-20, 9.262340089798408},
        {0.9, -1.2815515655446004},
    };
    for (const auto& q : quantiles)
        EXPECT_NEAR(normalUpperQuantile(q.tail), q.z, 1e-12 * std::fabs(q.z)) << q.tail;
    EXPECT_NEAR(genomicControl(0.5), 1.0, 1e-12);
    EXPECT_NEAR(genomicControl(0.05), 3.841458820694124 / 0.454936423119572, 1e-11);
    // H(N) as R's sum(1 / (1:N)) gives it (R 4.2.2), to the last bit.
    for (const auto& [n, h] : {std::pair{1, 1.0},
                               {10, 2.9289682539682538},
                               {12345, 9.9982625683616249},
                               {99999, 12.090136129863428},
                               {100000, 12.090146129863427},
                               {10000000, 16.695311365859851}})
        EXPECT_EQ(harmonic(n), h) << n;
    // Where the sum gives way to the series, both agree.
    EXPECT_NEAR(harmonic(10000000), harmonic(10000001) - 1.0 / 10000001, 1e-14);
}

// pi0 against R 4.2.2 with qvalue 2.30.0 (Debian r-base-core and
// r-bioc-qvalue), made with, for each family p of the N tested:
//   lambda <- seq(0.05, 0.95, 0.05); r <- qvalue::pi0est(p)
//   sapply(lambda, function(l) sum(p >= l))   # the counts below
//   r$pi0.smooth[19]; r$pi0                   # the spline at 0.95, and capped
// from set.seed(1), runif(1000); set.seed(3), c(runif(8000), rbeta(2000,
// 0.1, 5)); and so on (uniform, mixtures with beta signals, point masses).
TEST(Corrections, Pi0AgreesWithQvalue) {
    const struct {
        const char* name;
        int64_t total;
        std::array<uint64_t, pi0Lambdas> atOrAbove;
        double smoothed, pi0;
    } families[] = {
        {"uniform 1000",
         1000,
         {957, 904, 851, 800, 756, 707, 653, 595, 541, 480, 432, 394, 350, 304, 248, 198, 153, 110,
          53},
         1.051595118683085,
         1},
        {"uniform 20",
         20,
         {20, 19, 18, 15, 13, 13, 13, 13, 11, 10, 9, 7, 7, 7, 6, 5, 4, 3, 1},
         1.2730441764222502,
         1},
        {"20% signal",
         10000,
         {7824, 7312, 6839, 6405, 5993, 5571, 5181, 4796, 4425, 4013, 3618, 3188, 2805, 2380, 1985,
          1586, 1210, 830, 400},
         0.80738494167598118,
         0.80738494167598118},
        {"strong signal",
         10000,
         {579, 476, 431, 399, 369, 339, 319, 294, 271, 241, 217, 196, 173, 156, 125, 109, 85, 59,
          27},
         0.056079820214572342,
         0.056079820214572342},
        {"5 present of 10^6",
         1000000,
         {999995, 999995, 999995, 999995, 999995, 999995, 999995, 999995, 999995, 999995, 999995,
          999995, 999995, 999995, 999995, 999995, 999995, 999995, 999995},
         12.178338547612361,
         1},
        {"half signal",
         10000,
         {6243, 5515, 5019, 4594, 4211, 3838, 3520, 3199, 2882, 2602, 2351, 2072, 1817, 1516, 1255,
          1010, 760, 509, 268},
         0.5100928163936207,
         0.5100928163936207},
        {"skewed high",
         3000,
         {3000, 3000, 2998, 2989, 2975, 2942, 2905, 2855, 2787, 2709, 2592, 2440, 2259, 2039, 1829,
          1544, 1222, 898, 469},
         3.0417144527980233,
         1},
        {"steps",
         1000,
         {997, 692, 687, 685, 678, 666, 661, 657, 654, 648, 444, 442, 433, 427, 422, 420, 416, 412,
          4},
         2.1621283965609135,
         1},
        {"90% null",
         10000,
         {8874, 8325, 7817, 7319, 6862, 6402, 5953, 5468, 5025, 4577, 4103, 3644, 3190, 2737, 2295,
          1811, 1381, 906, 441},
         0.90090095902743983,
         0.90090095902743983},
        {"small with signal",
         100,
         {41, 38, 37, 35, 33, 30, 29, 25, 20, 20, 17, 15, 13, 10, 8, 6, 3, 1, 1},
         0.17708447068950262,
         0.17708447068950262},
        {"decreasing density",
         5000,
         {4365, 3929, 3603, 3327, 3069, 2802, 2536, 2305, 2084, 1877, 1633, 1430, 1201, 1003, 828,
          643, 489, 333, 165},
         0.63743053327560395,
         0.63743053327560395},
    };
    for (const auto& f : families) {
        EXPECT_NEAR(smoothedPi0(f.atOrAbove, f.total), f.smoothed, 1e-3 * f.smoothed) << f.name;
        EXPECT_NEAR(estimatePi0(f.atOrAbove, f.total), f.pi0, 1e-3 * f.pi0) << f.name;
    }
    for (int j = 0; j < pi0Lambdas; ++j) {  // the bins: at or above exactly b lambdas
        EXPECT_EQ(pi0Bin(pi0Lambda(j)), j + 1);
        EXPECT_EQ(pi0Bin(std::nextafter(pi0Lambda(j), 0.0)), j);
    }
    // The bin read from a text's digits, where they tell it, is the bin of
    // its value: texts in every form, around every lambda and its decimal.
    std::mt19937_64 rng(17);
    const char* formats[] = {"%.17g", "%g", "%.6f", "%.16e", "%.20f", "%.2f", "%.15f"};
    int decided = 0;
    for (int i = 0; i < 300000; ++i) {
        const double lambda = pi0Lambda(static_cast<int>(rng() % pi0Lambdas));
        double p = std::ldexp(static_cast<double>(rng() >> 11), -53);
        if (rng() % 2) p = lambda;
        if (rng() % 2) p = std::nextafter(p, rng() % 2 ? 2.0 : -1.0);
        if (rng() % 4 == 0) p += (static_cast<double>(rng() % 2001) - 1000) * 1e-16;
        char text[64];
        std::snprintf(text, sizeof text, formats[rng() % 7], p);
        if (rng() % 16 == 0)
            std::snprintf(text, sizeof text, "0.%02d%s", int(rng() % 100),
                          rng() % 2 ? "9999999999999999" : "0000000000000001");
        const int bin = quickLambdaBin(text, decimalMagnitude(text));
        decided += bin >= 0;
        if (bin >= 0) {
            ASSERT_EQ(bin, pi0Bin(std::strtod(text, nullptr))) << text;
        }
    }
    EXPECT_GT(decided, 150000);  // most of them, these being texts near the edges
}

}  // namespace
