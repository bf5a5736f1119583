// Worked values and edge cases of the lattice model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "model/model.hpp"
#include "numeric/ran0.hpp"

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

TEST(Model, StartingStatesAndTheirDraws) {
  const double r1 = 0.2430400547, r2 = 0.7741990750, r3 = 0.9638528596;
  Model m;
  m.para.conc = m.para.conc2 = 0.25;
  std::int32_t idum = kSeed;
  StateVec p;
  Init(m, p, 2, &idum);
  EXPECT_NEAR(p[1], 0.5 * r1, 1e-9);
  EXPECT_NEAR(p[2], 0.2 * r2, 1e-9);
  idum = kSeed;
  InitLipidPhase(m, p, 4, 0.4, &idum);  // pairs up to twice random mixing
  EXPECT_EQ(p[1], 0.4);
  EXPECT_NEAR(p[2], 2 * 0.16 * r1, 1e-9);
  EXPECT_NEAR(p[3], 2 * 0.4 * 0.25 * r2, 1e-9);
  EXPECT_NEAR(p[4], 0.0625 * r3, 1e-9);
  idum = kSeed;
  Init(m, p, 8, &idum);
  EXPECT_NEAR(p[1], 0.75 * 0.5 * r1, 1e-9);
  EXPECT_NEAR(p[2], 0.25 * 0.5 * r2, 1e-9);
  EXPECT_NEAR(p[3], 0.75 * 0.2 * r3, 1e-9);

  // Draws per variant {n, Init, InitLipidPhase}; the last row is the
  // ligand-activity mode, where Init starts p2 at exactly 0.
  const int draws[][3] = {{1, 1, 0}, {2, 2, 1}, {4, 4, 3}, {5, 5, 4}, {8, 8, 7}, {3, 0, 0},
                          {2, 1, 1}};
  for (int row = 0; row < 7; ++row) {
    const int n = draws[row][0];
    m.para.mode = row == 6 ? kAltMode : 0;
    for (int phase = 0; phase < 2; ++phase) {
      std::int32_t ours = kSeed, want = kSeed;
      p[2] = -7;
      if (phase == 0) {
        Init(m, p, n, &ours);
        EXPECT_TRUE(row != 6 || p[2] == 0.0);
      } else {
        InitLipidPhase(m, p, n, 0.3, &ours);
      }
      for (int k = 0; k < draws[row][1 + phase]; ++k) ran0(&want);
      EXPECT_EQ(ours, want) << "n " << n << " phase start " << phase;
    }
  }
}

TEST(Model, FakAndFreeEnergyWorkedValues) {
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

  // No energies, pairs at random mixing: F = T sum x ln x.
  Model r{4, 1.3, {}};
  r.para.conc = 0.3;
  EXPECT_NEAR(FreeCalc(r, State({0.4, 0.16, 0.12, 0.09})),
              1.3 * (XlnX(0.4) + XlnX(0.3) + XlnX(0.3)), 1e-13);
  r.n0 = 8;
  r.para.conc2 = 0.35;
  const double a = 0.45, bf = 0.15, xA = 1 - 0.35 - a, xB = 0.35 - bf;
  EXPECT_NEAR(FreeCalc(r, State({a, bf, a * a, bf * bf, xA * xB, bf * xA, a * xB, a * bf})),
              1.3 * (XlnX(a) + XlnX(xA) + XlnX(bf) + XlnX(xB)), 1e-13);
}

TEST(Model, LigandSumsAndCoverage) {
  Model m{1, 1, {}};
  m.para.dS2 = std::log(3.0), m.para.z = 1, m.para.nu = 1;
  EXPECT_NEAR(FreeCalc(m, State({0.5})), -2.1352274295, 1e-10);
  EXPECT_NEAR(ThetaCalc(m, State({0.5})), 0.725, 1e-14);

  // nu = -1 is one chain, nu < -1 has no sum, fractional sizes use
  // truncating factorials and real powers.
  m.T = 1.4, m.para.dH = 0.7, m.para.dS = 0.2, m.para.w = -0.3, m.para.z = 2.5;
  const double x = 0.3, T = m.T, U = x * (0.7 - T * 0.2) + 0.5 * -0.3 * x * x;
  const double w = std::pow(x, 2.5) + 2 * std::pow(x, 1.5) * (1 - x) +
                   std::sqrt(x) * (1 - x) * (1 - x);
  const double ligand_cases[][3] = {  // {nu, dS2, ligand term}
      {-1, std::log(3.0), std::log(3.5)}, {-2, std::log(3.0), 0}, {1.5, 0, w * std::log(3.5)}};
  for (const auto& c : ligand_cases) {
    m.para.nu = c[0], m.para.dS2 = c[1];
    EXPECT_NEAR(FreeCalc(m, State({x})), U - T * (-XlnX(x) - XlnX(1 - x) + c[2]), 1e-13) << c[0];
  }

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
}

TEST(Model, HessianDeterminantInverseAndHeatCapacity) {
  Model m{2, 300, {}};
  m.para.dH = 36;
  m.para.w = 2;
  Matrix hes(1, 2, 1, 2), inv(1, 2, 1, 2);
  IVector indx(1, 8);
  HesseCalc(m, State({0.5, 0.25}), 2, hes);
  double det = 0;
  DetCalc(2, hes, indx, det);
  EXPECT_NEAR(det, 1728.0, 1e-9);
  HesseCalc(m, State({0.5, 0.25}), 2, hes);
  HesseInv(hes, inv, 2, indx);
  const double want[] = {1.0 / 1200, 1.0 / 1200, 1.0 / 1200, 13.0 / 14400};
  for (int k = 0; k < 4; ++k) EXPECT_NEAR(inv.block()[k + 1], want[k], 1e-15) << k;
  EXPECT_NEAR(HeatCalc(m, 2, inv), 589.0 / 120000, 1e-15);

  // The product 1e320 would overflow; scaled per factor it is 1e320 / 1e64.
  Matrix d(1, 8, 1, 8);
  for (int i = 1; i <= 8; ++i) d[i][i] = 1e40;
  DetCalc(8, d, indx, det);
  EXPECT_NEAR(det / 1e256, 1.0, 1e-12);
}

}  // namespace
}  // namespace chainmelt
