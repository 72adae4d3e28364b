// The proportion of true null hypotheses, pi0, estimated as R's
// qvalue::pi0est does by default: for lambda = 0.05, 0.10, ..., 0.95 (as
// 0.05 + j * 0.05 in double), pi0(lambda) = #{p >= lambda} / (N (1 -
// lambda)); a cubic smoothing spline with 3 degrees of freedom through
// those 19 points (R's smooth.spline(lambda, pi0(lambda), df = 3)); its
// value at lambda = 0.95, capped at 1.
#pragma once

#include <array>
#include <cstdint>

inline constexpr int pi0Lambdas = 19;

// lambda_j, j = 0 .. 18.
double pi0Lambda(int j);

// The bin of a p-value: how many of the lambdas it is at or above (0 to 19).
int pi0Bin(double p);

// The spline's value at 0.95, before the cap, from #{p >= lambda_j} over
// the `total` p-values of the family (absent k-mers counting as 1s).
double smoothedPi0(const std::array<uint64_t, pi0Lambdas>& atOrAbove, int64_t total);

// The estimate: the smoothed value capped at 1.
double estimatePi0(const std::array<uint64_t, pi0Lambdas>& atOrAbove, int64_t total);
