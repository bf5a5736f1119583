// Properties of the free energy, its derivatives and the coverage over random
// parameter sets and random feasible states of every variant.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>

#include "model/model.hpp"

namespace chainmelt {
namespace {

struct Sample {
  Model m;
  StateVec p;
};

// A random parameter set and a feasible state built from random positive pair
// probabilities y(i,j), normalised with the multiplicity 2 of unlike pairs.
// The fixed fractions conc and conc2 are those of the state.  Species: 0 fluid,
// 1 gel, 2 second component; for n0 = 8: 0 Af, 1 Bf, 2 Ag, 3 Bg.
Sample Draw(int n0, std::mt19937& gen) {
  auto U = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(gen); };
  const int ns = n0 == 8 ? 4 : n0 >= 4 ? 3 : 2;
  double y[4][4], x[4] = {0, 0, 0, 0}, sum = 0;
  for (int i = 0; i < ns; ++i)
    for (int j = i; j < ns; ++j) sum += (i == j ? 1 : 2) * (y[i][j] = y[j][i] = U(0.05, 1));
  for (int i = 0; i < ns; ++i)
    for (int j = 0; j < ns; ++j) x[i] += (y[i][j] /= sum);

  Sample s{{n0, U(0.3, 3), {}}, {}};
  Para& a = s.m.para;
  for (double* f : {&a.w, &a.w2, &a.w3, &a.e2, &a.dH, &a.dS, &a.dH2, &a.dS2}) *f = U(-2, 2);
  a.z = U(0.01, 3);
  a.nu = std::uniform_int_distribution<int>(-1, 8)(gen);
  StateVec& p = s.p;
  p[1] = x[0];
  if (n0 == 2) p[2] = y[0][0];
  if (n0 == 4) {
    a.conc = x[2];
    p[2] = y[0][0], p[3] = y[0][2], p[4] = y[2][2];
  }
  if (n0 == 5) p[2] = x[2], p[3] = y[0][0], p[4] = y[0][2], p[5] = y[2][2];
  if (n0 == 8) {
    a.conc2 = x[1] + x[3];
    p[2] = x[1], p[3] = y[0][0], p[4] = y[1][1], p[5] = y[2][3];
    p[6] = y[1][2], p[7] = y[0][3], p[8] = y[0][1];
  }
  return s;
}

// Per state: every gradient component against a central difference of the
// free energy; for n0 = 1 the coverage against the slope of the free energy in
// ln z; for the pair variants every Hessian element against a central
// difference of the gradient (scaled by the largest element of its row), its
// symmetry, and the inverse times the Hessian against the identity.
TEST(ModelProperties, DerivativesAgreeWithDifferencesInEveryVariant) {
  std::mt19937 gen(20240611);
  for (int n : {1, 2, 4, 5, 8}) {
    for (int k = 0; k < 200; ++k) {
      Sample s = Draw(n, gen);
      if (n == 1 && k % 2 == 1) s.m.para.nu = std::uniform_real_distribution<double>(-3, 6)(gen);
      const Model& m = s.m;
      StateVec g;
      DerCalc(m, s.p, g);
      for (int i = 1; i <= n; ++i) {
        StateVec up = s.p, down = s.p;
        up[i] += 1e-5 * s.p[i];
        down[i] -= 1e-5 * s.p[i];
        const double fd = (FreeCalc(m, up) - FreeCalc(m, down)) / (up[i] - down[i]);
        ASSERT_NEAR(g[i], fd, 1e-6 * (1 + std::fabs(g[i]))) << n << ": " << i << " nu " << m.para.nu;
      }
      if (n == 1) {
        Model lo = m, hi = m;
        hi.para.z *= std::exp(1e-5);
        lo.para.z *= std::exp(-1e-5);
        const double slope = (FreeCalc(hi, s.p) - FreeCalc(lo, s.p)) / 2e-5;
        ASSERT_NEAR(ThetaCalc(m, s.p), -slope / m.T, 1e-7) << "nu " << m.para.nu;
        continue;
      }

      Matrix h(1, n, 1, n), lu(1, n, 1, n), inv(1, n, 1, n);
      IVector indx(1, n);
      HesseCalc(m, s.p, n, h);
      HesseCalc(m, s.p, n, lu);
      HesseInv(lu, inv, n, indx);
      for (int j = 1; j <= n; ++j) {
        StateVec up = s.p, down = s.p, gu, gd;
        up[j] += 1e-6 * s.p[j];
        down[j] -= 1e-6 * s.p[j];
        DerCalc(m, up, gu);
        DerCalc(m, down, gd);
        for (int i = 1; i <= n; ++i) {
          double scale = 0, e = 0;
          for (int l = 1; l <= n; ++l) {
            scale = std::max(scale, std::fabs(h[i][l]));
            e += inv[i][l] * h[l][j];
          }
          ASSERT_NEAR((gu[i] - gd[i]) / (up[j] - down[j]), h[i][j], 1e-6 * scale)
              << n << ": " << i << "," << j;
          ASSERT_EQ(h[i][j], h[j][i]) << n << ": " << i << "," << j;
          ASSERT_NEAR(e, i == j ? 1.0 : 0.0, 1e-9) << n << ": " << i << "," << j;
        }
      }
    }
  }
}

// The ligand slope as it is usually written: the k = 0 member, the sum over
// 1 <= k <= nu, and the k = N member, with ln(1 + q(k)) given.
double WrittenSlope(double x, double nu, const std::function<double(double)>& lnq, double last) {
  const double N = nu + 1;
  double lam = N * std::pow(x, nu) * lnq(0);
  for (double k = 1; k <= nu; k += 1)
    lam += fak(N) / (fak(N - k) * fak(k)) *
           ((N - k) * std::pow(x, nu - k) * std::pow(1 - x, k) -
            k * std::pow(x, N - k) * std::pow(1 - x, k - 1)) *
           lnq(k);
  return lam - N * std::pow(1 - x, nu) * last;
}

// Ligand-activity mode: the free energy and the filled vector stay finite for
// |p2| up to 1e4 and equal the written formulas wherever those are finite.
TEST(ModelProperties, LigandActivityModeIsFiniteAndFollowsItsFormulas) {
  std::mt19937 gen(4242);
  auto U = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(gen); };
  int compared = 0;
  for (int t = 0; t < 300; ++t) {
    Model m{2, U(0.05, 3.0), {}};
    Para& a = m.para;
    a.mode = kAltMode;
    a.dH = U(-2, 2), a.dS = U(-2, 2), a.w = U(-2, 2);
    a.dH2 = U(-5, 5), a.dS2 = U(-2, 2), a.conc2 = U(0, 1);
    a.nu = std::uniform_int_distribution<int>(-1, 18)(gen);
    const double x = U(0.001, 0.999), p2 = t % 3 == 0 ? U(-1e4, 1e4) : U(-30, 30);
    StateVec p, g;
    p[1] = x, p[2] = p2;
    DerCalc(m, p, g);
    const double F = FreeCalc(m, p);
    ASSERT_TRUE(std::isfinite(F) && std::isfinite(g[1]) && std::isfinite(g[2]))
        << "T " << m.T << " nu " << a.nu << " p2 " << p2;

    const double T = m.T, N = a.nu + 1, eps = a.dH2 - T * a.dS2;
    auto lnq = [&](double k) { return std::log(1 + std::exp(-(N - k) * eps / T - p2)); };
    double L = 0, bound = 0;
    for (double k = 0; k <= N; k += 1) {
      const double B = fak(N) / (fak(N - k) * fak(k)) * std::pow(x, N - k) * std::pow(1 - x, k);
      L += B * lnq(k);
      bound += B / (1 + std::exp((N - k) * eps / T - p2));
    }
    const double lam = WrittenSlope(x, a.nu, lnq, std::log(1 + std::exp(p2 / T)));
    const double g1 = (a.dH - T * a.dS) + a.w * x - T * (std::log(1 - x) - std::log(x) + lam);
    const double Fw = x * (a.dH - T * a.dS) + 0.5 * a.w * x * x -
                      T * (-x * std::log(x) - (1 - x) * std::log(1 - x) + L) + a.conc2 * p2;
    EXPECT_EQ(g[2], a.conc2 - bound);
    if (std::isfinite(g1) && std::isfinite(Fw)) {
      ++compared;
      EXPECT_EQ(g[1], g1);
      EXPECT_NEAR(F, Fw, 1e-12 * (1 + std::fabs(Fw)));
    }
  }
  EXPECT_GT(compared, 150);
}

}  // namespace
}  // namespace chainmelt
