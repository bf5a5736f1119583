// The lattice model: worked values, edge cases and guards, and the
// derivatives over random parameter sets and feasible states of every variant.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "model/model.hpp"

namespace chainmelt {
namespace {

StateVec State(std::initializer_list<double> v) {
  StateVec p;
  int i = 1;
  for (double x : v) p[i++] = x;
  return p;
}

double XlnX(double x) { return x * std::log(x); }

const double kNaN = std::nan("");
const StateVec kS4 = State({0.25, 0.0625, 0.0625, 0.0625});
const StateVec kS5 = State({0.375, 0.375, 0.25, 0.0625, 0.25});
const StateVec kS8 =
    State({0.375, 0.125, 0.140625, 0.015625, 0.046875, 0.046875, 0.046875, 0.046875});

// Outside the feasible region (NaN components included) the free energy is
// the sentinel 42 and the gradient is zero.
TEST(Model, FeasibleRegionAndInfeasibleStates) {
  const struct {
    int n;
    double conc, mode;
    StateVec p;
    bool feasible;
  } cases[] = {
      {1, 0, 0, State({0.5}), true},        {2, 0, 0, State({0.5, 0.25}), true},
      {4, 0.25, 0, kS4, true},              {5, 0, 0, kS5, true},
      {8, 0.25, 0, kS8, true},              {2, 0, kAltMode, State({0.3, -1000.0}), true},
      {1, 0, 0, State({1.0}), false},       {2, 0, 0, State({0.5, 0.0}), false},
      {2, 0, 0, State({0.625, 0.25}), false},
      {5, 0, 0, State({0.375, 0.375, 0.3125, 0.0625, 0.25}), false},
      {4, 0, 0, kS4, false},                {8, 0, 0, kS8, false},
      {6, 0.25, 0, kS8, false},             {4, 0.25, kAltMode, kS4, false},
  };
  auto outside = [](const Model& m, const StateVec& p) {
    StateVec g = State({9, 9, 9, 9, 9, 9, 9, 9});
    DerCalc(m, p, g);
    for (int i = 1; i <= std::min(m.n0, kMaxVars); ++i) EXPECT_EQ(g[i], 0.0) << m.n0 << " " << i;
    EXPECT_EQ(FreeCalc(m, p), 42.0) << m.n0 << " " << p[1];
  };
  for (const auto& c : cases) {
    Model m{c.n, 0.9, {}};
    m.para.conc = m.para.conc2 = c.conc;
    m.para.mode = c.mode;
    EXPECT_EQ(Check(m, c.p, c.n), c.feasible) << c.n << " " << c.p[1];
    if (!c.feasible) outside(m, c.p);
    for (int i = 1; i <= c.n && c.feasible; ++i) {
      StateVec q = c.p;
      q[i] = kNaN;
      EXPECT_FALSE(Check(m, q, c.n)) << c.n << " component " << i;
      outside(m, q);
    }
  }
  // Ligands over one chain at a vanishing fluid fraction: no 0 * inf.
  Model one{2, 1, {}};
  one.para.nu = -1, one.para.z = 1, one.para.mode = kAltMode;
  StateVec g;
  DerCalc(one, State({1e-310, 0.0}), g);
  EXPECT_TRUE(std::isfinite(g[1]) && std::isfinite(g[2]));
}

TEST(Model, WorkedValues) {
  const double fak_cases[][2] = {{5.0, 120}, {5.7, 120}, {0.5, 1}, {-2, 1}, {kNaN, 1}};
  for (const auto& c : fak_cases) EXPECT_EQ(fak(c[0]), c[1]) << c[0];
  // Past 170! the result is inf; huge arguments end there instead of counting on.
  EXPECT_TRUE(std::isinf(fak(1e300)));
  EXPECT_TRUE(std::isinf(fak(std::numeric_limits<double>::infinity())));

  Model m{4, 1, {}};
  m.para.w = 1, m.para.w2 = 0.5, m.para.w3 = 0.25, m.para.e2 = 0.125;
  m.para.dH = 2, m.para.dS = 1, m.para.conc = 0.25;
  EXPECT_NEAR(FreeCalc(m, kS4), -0.3834707708, 1e-10);
  m.n0 = 5;  // the component fraction as a variable, pairs shifted by one
  EXPECT_NEAR(FreeCalc(m, State({0.25, 0.25, 0.0625, 0.0625, 0.0625})), -0.3834707708, 1e-10);
  Model m8{8, 1, {}};
  m8.para.w = 1, m8.para.dH = 2, m8.para.dS = 1, m8.para.dH2 = 0.5, m8.para.dS2 = 0.25;
  m8.para.conc2 = 0.25;
  EXPECT_NEAR(FreeCalc(m8, kS8), 0.0257676748, 1e-10);

  Model lig{1, 1, {}};
  lig.para.dS2 = std::log(3.0), lig.para.z = 1, lig.para.nu = 1;
  EXPECT_NEAR(FreeCalc(lig, State({0.5})), -2.1352274295, 1e-10);
  EXPECT_NEAR(ThetaCalc(lig, State({0.5})), 0.725, 1e-14);

  Model h{2, 300, {}};
  h.para.dH = 36, h.para.w = 2;
  Matrix hes(1, 2, 1, 2), inv(1, 2, 1, 2);
  IVector indx(1, 8);
  double det = 0;
  HesseCalc(h, State({0.5, 0.25}), 2, hes);
  DetCalc(2, hes, indx, det);
  EXPECT_NEAR(det, 1728.0, 1e-9);
  HesseCalc(h, State({0.5, 0.25}), 2, hes);
  HesseInv(hes, inv, 2, indx);  // [[1/1200, 1/1200], [1/1200, 13/14400]]
  EXPECT_NEAR(HeatCalc(h, 2, inv), 589.0 / 120000, 1e-15);
  // The product 1e320 would overflow; scaled per factor it is 1e320 / 1e64.
  Matrix d(1, 8, 1, 8);
  for (int i = 1; i <= 8; ++i) d[i][i] = 1e40;
  DetCalc(8, d, indx, det);
  EXPECT_NEAR(det / 1e256, 1.0, 1e-12);
}

TEST(Model, LigandTermGuards) {
  // z e^a overflowing: ln(1 + z e^a) -> a + ln z; with z = 0 the term is 0, not NaN.
  Model s{1, 1, {}};
  s.para.nu = 0, s.para.z = 2, s.para.dH2 = -1000;
  const double mix = -2 * XlnX(0.5);
  EXPECT_NEAR(FreeCalc(s, State({0.5})),
              -(mix + 0.5 * (1000 + std::log(2.0)) + 0.5 * std::log(3.0)), 1e-9);
  s.para.z = 0;
  EXPECT_NEAR(FreeCalc(s, State({0.5})), -mix, 1e-15);
  EXPECT_EQ(ThetaCalc(s, State({0.5})), 0.0);
  // Sizes past the range of fak end at once (the weights are NaN).
  s.para.nu = 1e15, s.para.z = 1;
  EXPECT_TRUE(std::isnan(FreeCalc(s, State({0.5}))));

  // Ligand-activity mode at a low temperature, where the plain sums overflow
  // for |p2| up to 1e4: everything stays finite.
  Model m{2, 0.1, {}};
  m.para.mode = kAltMode;
  m.para.dH = 1, m.para.dS = 0.5, m.para.w = -1, m.para.dH2 = -4, m.para.dS2 = 1;
  m.para.conc2 = 0.4;
  for (double nu : {-1.0, 2.0, 18.0}) {
    for (double p2 : {-1e4, -30.0, 0.0, 30.0, 1e4}) {
      m.para.nu = nu;
      StateVec g;
      DerCalc(m, State({0.3, p2}), g);
      EXPECT_TRUE(std::isfinite(FreeCalc(m, State({0.3, p2}))) && std::isfinite(g[1]) &&
                  std::isfinite(g[2]))
          << "nu " << nu << " p2 " << p2;
    }
  }
}

// A random parameter set and a feasible state built from random positive pair
// probabilities y(i,j), normalised with the multiplicity 2 of unlike pairs.
// The fixed fractions conc and conc2 are those of the state.  Species: 0 fluid,
// 1 gel, 2 second component; for n0 = 8: 0 Af, 1 Bf, 2 Ag, 3 Bg.
Model Draw(int n0, std::mt19937& gen, StateVec& p) {
  auto U = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(gen); };
  const int ns = n0 == 8 ? 4 : n0 >= 4 ? 3 : 2;
  double y[4][4], x[4] = {0, 0, 0, 0}, sum = 0;
  for (int i = 0; i < ns; ++i)
    for (int j = i; j < ns; ++j) sum += (i == j ? 1 : 2) * (y[i][j] = y[j][i] = U(0.05, 1));
  for (int i = 0; i < ns; ++i)
    for (int j = 0; j < ns; ++j) x[i] += (y[i][j] /= sum);

  Model m{n0, U(0.3, 3), {}};
  Para& a = m.para;
  for (double* f : {&a.w, &a.w2, &a.w3, &a.e2, &a.dH, &a.dS, &a.dH2, &a.dS2}) *f = U(-2, 2);
  a.z = U(0.01, 3);
  a.nu = std::uniform_int_distribution<int>(-1, 8)(gen);
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
  return m;
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
      StateVec s;
      Model m = Draw(n, gen, s);
      if (n == 1 && k % 2 == 1) m.para.nu = std::uniform_real_distribution<double>(-3, 6)(gen);
      StateVec g;
      DerCalc(m, s, g);
      for (int i = 1; i <= n; ++i) {
        StateVec up = s, down = s;
        up[i] += 1e-5 * s[i];
        down[i] -= 1e-5 * s[i];
        const double fd = (FreeCalc(m, up) - FreeCalc(m, down)) / (up[i] - down[i]);
        ASSERT_NEAR(g[i], fd, 1e-6 * (1 + std::fabs(g[i]))) << n << ": " << i << " nu " << m.para.nu;
      }
      if (n == 1) {
        Model lo = m, hi = m;
        hi.para.z *= std::exp(1e-5);
        lo.para.z *= std::exp(-1e-5);
        const double slope = (FreeCalc(hi, s) - FreeCalc(lo, s)) / 2e-5;
        ASSERT_NEAR(ThetaCalc(m, s), -slope / m.T, 1e-7) << "nu " << m.para.nu;
        continue;
      }

      Matrix h(1, n, 1, n), lu(1, n, 1, n), inv(1, n, 1, n);
      IVector indx(1, n);
      HesseCalc(m, s, n, h);
      HesseCalc(m, s, n, lu);
      HesseInv(lu, inv, n, indx);
      for (int j = 1; j <= n; ++j) {
        StateVec up = s, down = s, gu, gd;
        up[j] += 1e-6 * s[j];
        down[j] -= 1e-6 * s[j];
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

}  // namespace
}  // namespace chainmelt
