// Properties of the Hessian, its inverse and determinant over random
// feasible states of every pair variant.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <utility>

#include "model/model.hpp"

namespace chainmelt {
namespace {

struct Sample {
  Model m;
  StateVec p;
};

// A feasible state built from random positive pair probabilities y(i,j) of
// `ns` species (normalised with the multiplicity of unlike pairs), and the
// parameters that the variant derives from them (conc, conc2).
Sample Draw(int n0, std::mt19937& gen) {
  std::uniform_real_distribution<double> w(0.05, 1.0), u(0.0, 1.0);
  const int ns = n0 == 2 ? 2 : n0 == 8 ? 4 : 3;
  double y[4][4];
  double z = 0;
  for (int i = 0; i < ns; ++i)
    for (int j = i; j < ns; ++j) {
      y[i][j] = y[j][i] = w(gen);
      z += (i == j ? 1 : 2) * y[i][j];
    }
  double x[4] = {0, 0, 0, 0};
  for (int i = 0; i < ns; ++i)
    for (int j = 0; j < ns; ++j) x[i] += (y[i][j] /= z);

  Sample s;
  s.m.n0 = n0;
  s.m.T = 1 + 499 * u(gen);
  s.m.para.dH = 20 * u(gen) - 10;
  s.m.para.w = 2 * u(gen) - 1;
  s.m.para.dS = 0.1 * u(gen);
  StateVec& p = s.p;
  // Species: 0 fluid, 1 gel, 2 second component (n0 = 8: 0 Af, 1 Bf, 2 Ag, 3 Bg).
  switch (n0) {
    case 2: p[1] = x[0]; p[2] = y[0][0]; break;
    case 4:
      s.m.para.conc = x[2];
      p[1] = x[0]; p[2] = y[0][0]; p[3] = y[0][2]; p[4] = y[2][2];
      break;
    case 5:
      p[1] = x[0]; p[2] = x[2]; p[3] = y[0][0]; p[4] = y[0][2]; p[5] = y[2][2];
      break;
    case 8:
      s.m.para.conc2 = x[1] + x[3];
      p[1] = x[0]; p[2] = x[1]; p[3] = y[0][0]; p[4] = y[1][1];
      p[5] = y[2][3]; p[6] = y[1][2]; p[7] = y[0][3]; p[8] = y[0][1];
      break;
  }
  return s;
}

// Determinant by cofactor expansion over column subsets, in long double.
long double Cofactor(const Matrix& a, int n, unsigned used, long double* memo, bool* done) {
  const int row = __builtin_popcount(used) + 1;
  if (row > n) return 1;
  if (done[used]) return memo[used];
  long double sum = 0;
  int sign = 1;
  for (int c = 1; c <= n; ++c) {
    if (used & (1u << c)) continue;
    sum += sign * static_cast<long double>(a[row][c]) * Cofactor(a, n, used | (1u << c), memo, done);
    sign = -sign;
  }
  done[used] = true;
  return memo[used] = sum;
}

constexpr int kVariants[] = {2, 4, 5, 8};
constexpr int kStates = 200;

TEST(HessianProperties, SymmetricWithConsistentInverseAndDeterminant) {
  std::mt19937 gen(5150);
  for (int n : kVariants) {
    for (int k = 0; k < kStates; ++k) {
      const Sample s = Draw(n, gen);
      Matrix h(1, n, 1, n), lu(1, n, 1, n), inv(1, n, 1, n);
      IVector indx(1, n);
      HesseCalc(s.m, s.p, n, h);
      for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) {
          ASSERT_TRUE(std::isfinite(h[i][j]));
          ASSERT_EQ(h[i][j], h[j][i]) << n << ": " << i << "," << j;
          lu[i][j] = h[i][j];
        }
      HesseInv(lu, inv, n, indx);
      for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) {
          double e = 0;
          for (int l = 1; l <= n; ++l) e += inv[i][l] * h[l][j];
          ASSERT_NEAR(e, i == j ? 1.0 : 0.0, 1e-9) << n << ": " << i << "," << j;
        }

      long double memo[1u << 9];
      bool done[1u << 9] = {};
      const long double ref = Cofactor(h, n, 0, memo, done);
      double det = 0;
      HesseCalc(s.m, s.p, n, lu);
      DetCalc(n, lu, indx, det);
      const double scaled = static_cast<double>(ref / std::pow(10.0L, n * n));
      ASSERT_NEAR(det / scaled, 1.0, 1e-8) << n;
    }
  }
}

// Exchanging fluid and second component (p1 <-> p2, p3 <-> p5) permutes
// rows and columns 1 <-> 2 and 3 <-> 5.
TEST(HessianProperties, VariableComponentExchangeSymmetry) {
  std::mt19937 gen(77);
  const int perm[] = {0, 2, 1, 5, 4, 3};
  for (int k = 0; k < kStates; ++k) {
    const Sample s = Draw(5, gen);
    StateVec q;
    for (int i = 1; i <= 5; ++i) q[perm[i]] = s.p[i];
    Matrix h(1, 5, 1, 5), g(1, 5, 1, 5);
    HesseCalc(s.m, s.p, 5, h);
    HesseCalc(s.m, q, 5, g);
    for (int i = 1; i <= 5; ++i)
      for (int j = 1; j <= 5; ++j)
        ASSERT_NEAR(g[perm[i]][perm[j]], h[i][j], 1e-11 * std::fabs(h[i][i]) + 1e-9)
            << i << "," << j;
  }
}

}  // namespace
}  // namespace chainmelt
