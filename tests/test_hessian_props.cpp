// Properties of the Hessian and its inverse over random feasible states of
// every pair variant.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "model/model.hpp"

namespace chainmelt {
namespace {

struct Sample {
  Model m;
  StateVec p;
};

// A feasible state built from random positive pair probabilities y(i,j),
// normalised with the multiplicity 2 of unlike pairs, with the fixed fraction
// (conc, conc2) that the variant takes from them.  Species: 0 fluid, 1 gel,
// 2 second component; for n0 = 8: 0 Af, 1 Bf, 2 Ag, 3 Bg.
Sample Draw(int n0, std::mt19937& gen) {
  std::uniform_real_distribution<double> w(0.05, 1.0), u(0.0, 1.0);
  const int ns = n0 == 2 ? 2 : n0 == 8 ? 4 : 3;
  double y[4][4], x[4] = {0, 0, 0, 0}, z = 0;
  for (int i = 0; i < ns; ++i)
    for (int j = i; j < ns; ++j) z += (i == j ? 1 : 2) * (y[i][j] = y[j][i] = w(gen));
  for (int i = 0; i < ns; ++i)
    for (int j = 0; j < ns; ++j) x[i] += (y[i][j] /= z);
  Sample s{{n0, 1 + 499 * u(gen), {}}, {}};
  s.m.para.dH = 20 * u(gen) - 10;
  s.m.para.w = 2 * u(gen) - 1;
  s.m.para.dS = 0.1 * u(gen);
  StateVec& p = s.p;
  p[1] = x[0];
  if (n0 == 2) p[2] = y[0][0];
  if (n0 == 4) {
    s.m.para.conc = x[2];
    p[2] = y[0][0], p[3] = y[0][2], p[4] = y[2][2];
  }
  if (n0 == 5) p[2] = x[2], p[3] = y[0][0], p[4] = y[0][2], p[5] = y[2][2];
  if (n0 == 8) {
    s.m.para.conc2 = x[1] + x[3];
    p[2] = x[1], p[3] = y[0][0], p[4] = y[1][1], p[5] = y[2][3];
    p[6] = y[1][2], p[7] = y[0][3], p[8] = y[0][1];
  }
  return s;
}

constexpr int kVariants[] = {2, 4, 5, 8};
constexpr int kStates = 200;

TEST(HessianProperties, SymmetricAndInvertedExactly) {
  std::mt19937 gen(5150);
  for (int n : kVariants) {
    for (int k = 0; k < kStates; ++k) {
      const Sample s = Draw(n, gen);
      Matrix h(1, n, 1, n), lu(1, n, 1, n), inv(1, n, 1, n);
      IVector indx(1, n);
      HesseCalc(s.m, s.p, n, h);
      HesseCalc(s.m, s.p, n, lu);
      for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) ASSERT_EQ(h[i][j], h[j][i]) << n << ": " << i << "," << j;
      HesseInv(lu, inv, n, indx);
      for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) {
          double e = 0;
          for (int l = 1; l <= n; ++l) e += inv[i][l] * h[l][j];
          ASSERT_NEAR(e, i == j ? 1.0 : 0.0, 1e-9) << n << ": " << i << "," << j;
        }
    }
  }
}

// Every element against a central difference of the gradient, scaled by the
// largest element of its row.
TEST(HessianProperties, MatchesCentralDifferenceOfGradient) {
  std::mt19937 gen(4242);
  for (int n : kVariants) {
    for (int k = 0; k < kStates; ++k) {
      const Sample s = Draw(n, gen);
      Matrix h(1, n, 1, n);
      HesseCalc(s.m, s.p, n, h);
      for (int j = 1; j <= n; ++j) {
        StateVec up = s.p, down = s.p, gu, gd;
        up[j] += 1e-6 * s.p[j];
        down[j] -= 1e-6 * s.p[j];
        DerCalc(s.m, up, gu);
        DerCalc(s.m, down, gd);
        for (int i = 1; i <= n; ++i) {
          double scale = 0;
          for (int l = 1; l <= n; ++l) scale = std::max(scale, std::fabs(h[i][l]));
          ASSERT_NEAR((gu[i] - gd[i]) / (up[j] - down[j]), h[i][j], 1e-6 * scale)
              << n << ": " << i << "," << j;
        }
      }
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
        ASSERT_NEAR(g[perm[i]][perm[j]], h[i][j], 1e-11 * std::fabs(h[i][i])) << i << "," << j;
  }
}

}  // namespace
}  // namespace chainmelt
