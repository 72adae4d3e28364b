#include "pi0.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

using Matrix = std::vector<std::vector<double>>;

// The smoothing spline's penalty matrix K = Q R^-1 Q' for knots at x (the
// natural cubic spline that minimises sum (y - g)^2 + a * integral g''^2
// has fitted values (I + a K)^-1 y).
Matrix penalty(const std::vector<double>& x) {
    const size_t n = x.size(), m = n - 2;
    std::vector<double> h(n - 1);
    for (size_t i = 0; i + 1 < n; ++i) h[i] = x[i + 1] - x[i];
    Matrix q(n, std::vector<double>(m, 0)), r(m, std::vector<double>(m, 0));
    for (size_t j = 0; j < m; ++j) {
        q[j][j] = 1 / h[j];
        q[j + 1][j] = -1 / h[j] - 1 / h[j + 1];
        q[j + 2][j] = 1 / h[j + 1];
        r[j][j] = (h[j] + h[j + 1]) / 3;
        if (j + 1 < m) r[j][j + 1] = r[j + 1][j] = h[j + 1] / 6;
    }
    // z = R^-1 Q' by elimination (R is symmetric positive definite).
    Matrix z(m, std::vector<double>(n));
    for (size_t j = 0; j < m; ++j)
        for (size_t i = 0; i < n; ++i) z[j][i] = q[i][j];
    for (size_t k = 0; k < m; ++k)
        for (size_t row = k + 1; row < m; ++row) {
            const double f = r[row][k] / r[k][k];
            for (size_t c = k; c < m; ++c) r[row][c] -= f * r[k][c];
            for (size_t c = 0; c < n; ++c) z[row][c] -= f * z[k][c];
        }
    for (size_t k = m; k-- > 0;)
        for (size_t c = 0; c < n; ++c) {
            double s = z[k][c];
            for (size_t j = k + 1; j < m; ++j) s -= r[k][j] * z[j][c];
            z[k][c] = s / r[k][k];
        }
    Matrix K(n, std::vector<double>(n, 0));
    for (size_t i = 0; i < n; ++i)
        for (size_t c = 0; c < n; ++c)
            for (size_t j = 0; j < m; ++j) K[i][c] += q[i][j] * z[j][c];
    return K;
}

// The smoother (I + a K)^-1 by Gauss-Jordan elimination: its trace, the
// degrees of freedom, and the fitted value at the last knot.
struct Fit {
    double df, last;
};
Fit smooth(const Matrix& K, const std::vector<double>& y, double a) {
    const size_t n = y.size();
    Matrix m(n, std::vector<double>(2 * n, 0));
    for (size_t i = 0; i < n; ++i) {
        for (size_t c = 0; c < n; ++c) m[i][c] = (i == c) + a * K[i][c];
        m[i][n + i] = 1;
    }
    for (size_t k = 0; k < n; ++k) {
        const double pivot = m[k][k];
        for (double& v : m[k]) v /= pivot;
        for (size_t row = 0; row < n; ++row) {
            const double f = m[row][k];
            if (row == k || f == 0) continue;
            for (size_t c = 0; c < 2 * n; ++c) m[row][c] -= f * m[k][c];
        }
    }
    Fit fit{0, 0};
    for (size_t i = 0; i < n; ++i) fit.df += m[i][n + i];
    for (size_t c = 0; c < n; ++c) fit.last += m[n - 1][n + c] * y[c];
    return fit;
}

}  // namespace

double pi0Lambda(int j) {
    return 0.05 + j * 0.05;
}

int pi0Bin(double p) {
    static const auto lambdas = [] {
        std::array<double, pi0Lambdas> l{};
        for (int j = 0; j < pi0Lambdas; ++j) l[j] = pi0Lambda(j);
        return l;
    }();
    return static_cast<int>(std::upper_bound(lambdas.begin(), lambdas.end(), p) - lambdas.begin());
}

double smoothedPi0(const std::array<uint64_t, pi0Lambdas>& atOrAbove, int64_t total) {
    std::vector<double> x(pi0Lambdas), y(pi0Lambdas);
    for (int j = 0; j < pi0Lambdas; ++j) {
        x[j] = pi0Lambda(j);
        y[j] = static_cast<double>(atOrAbove[j]) / (static_cast<double>(total) * (1 - x[j]));
    }
    // The degrees of freedom fall from 19 to 2 as the penalty grows: the
    // penalty giving 3 is found by bisection of its logarithm.
    const Matrix K = penalty(x);
    double low = -60, high = 60;
    for (int i = 0; i < 200; ++i) {
        const double middle = (low + high) / 2;
        (smooth(K, y, std::exp(middle)).df > 3 ? low : high) = middle;
    }
    return smooth(K, y, std::exp((low + high) / 2)).last;
}

double estimatePi0(const std::array<uint64_t, pi0Lambdas>& atOrAbove, int64_t total) {
    return std::min(smoothedPi0(atOrAbove, total), 1.0);
}
