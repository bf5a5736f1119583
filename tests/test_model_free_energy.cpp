#include <gtest/gtest.h>

#include <cmath>
#include <limits>

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

TEST(Fak, FactorialOfTheIntegerPart) {
  EXPECT_EQ(fak(5.0), 120.0);
  EXPECT_EQ(fak(5.7), 120.0);
  EXPECT_EQ(fak(0.5), 1.0);
  EXPECT_EQ(fak(0.0), 1.0);
  EXPECT_EQ(fak(-2.0), 1.0);
  EXPECT_EQ(fak(std::nan("")), 1.0);
  EXPECT_TRUE(std::isfinite(fak(170.0)));
  // Overflowing arguments end at once instead of counting up to them.
  EXPECT_TRUE(std::isinf(fak(171.0)));
  EXPECT_TRUE(std::isinf(fak(1e300)));
  EXPECT_TRUE(std::isinf(fak(std::numeric_limits<double>::infinity())));
}

TEST(FreeCalc, WorkedPairStates) {
  Model m;
  m.T = 1;
  m.para.w = 1;
  m.para.w2 = 0.5;
  m.para.w3 = 0.25;
  m.para.e2 = 0.125;
  m.para.dH = 2;
  m.para.dS = 1;
  m.para.conc = 0.25;
  m.n0 = 4;
  const StateVec s4 = State({0.25, 0.0625, 0.0625, 0.0625});
  EXPECT_NEAR(FreeCalc(m, s4), -0.3834707708, 1e-10);
  const Model m4 = m;
  // The same state with the component fraction as a variable.
  m.n0 = 5;
  EXPECT_NEAR(FreeCalc(m, State({0.25, 0.25, 0.0625, 0.0625, 0.0625})), FreeCalc(m4, s4), 1e-14);

  Model m8;
  m8.n0 = 8;
  m8.T = 1;
  m8.para.w = 1;
  m8.para.dH = 2;
  m8.para.dS = 1;
  m8.para.dH2 = 0.5;
  m8.para.dS2 = 0.25;
  m8.para.conc2 = 0.25;
  const StateVec s8 = State({0.375, 0.125, 0.140625, 0.015625, 0.046875, 0.046875, 0.046875,
                             0.046875});
  EXPECT_NEAR(FreeCalc(m8, s8), 0.0257676748, 1e-10);
  EXPECT_NEAR(1.28125 - FreeCalc(m8, s8), 1.2554823252, 1e-10);  // U - F = T S

  Model m2;
  m2.n0 = 2;
  m2.T = 1.7;
  m2.para.w = 0.3;
  m2.para.dH = 2;
  m2.para.dS = 1.1;
  EXPECT_NEAR(FreeCalc(m2, State({0.5, 0.25})),
              0.5 * (2 - 1.7 * 1.1) + 0.75 * 0.3 - 1.7 * std::log(2.0), 1e-13);
}

TEST(FreeCalc, RandomMixingEntropy) {
  // With no energies F = -T S, and at random mixing S = -sum x ln x.
  Model m;
  m.T = 1.3;
  m.para.conc = 0.3;
  m.para.conc2 = 0.35;
  const double x = 0.4, c = 0.3;
  m.n0 = 4;
  EXPECT_NEAR(FreeCalc(m, State({x, x * x, x * c, c * c})),
              m.T * (XlnX(x) + XlnX(c) + XlnX(1 - x - c)), 1e-13);
  m.n0 = 5;
  EXPECT_NEAR(FreeCalc(m, State({x, c, x * x, x * c, c * c})),
              m.T * (XlnX(x) + XlnX(c) + XlnX(1 - x - c)), 1e-13);

  m.n0 = 8;
  const double b = 0.35, a = 0.45, bf = 0.15, xA = 1 - b - a, xB = b - bf;
  EXPECT_NEAR(FreeCalc(m, State({a, bf, a * a, bf * bf, xA * xB, bf * xA, a * xB, a * bf})),
              m.T * (XlnX(a) + XlnX(xA) + XlnX(bf) + XlnX(xB)), 1e-13);
}

TEST(FreeCalc, LigandSums) {
  Model m;
  m.n0 = 1;
  m.T = 1;
  m.para.dS2 = std::log(3.0);
  m.para.z = 1;
  m.para.nu = 1;
  EXPECT_NEAR(FreeCalc(m, State({0.5})), -2.1352274295, 1e-10);

  // General temperature and energies, small ligands.
  m.T = 1.4;
  m.para.dH = 0.7;
  m.para.dS = 0.2;
  m.para.w = -0.3;
  m.para.dH2 = 0.4;
  m.para.z = 2.5;
  const double x = 0.3, T = m.T;
  const double eps = m.para.dH2 - T * m.para.dS2;
  const double U = x * (0.7 - T * 0.2) + 0.5 * -0.3 * x * x;
  const double mix = -XlnX(x) - XlnX(1 - x);
  auto F = [&](double L) { return U - T * (mix + L); };
  m.para.nu = 0;
  EXPECT_NEAR(FreeCalc(m, State({x})),
              F(x * std::log(1 + 2.5 * std::exp(-eps / T)) + (1 - x) * std::log(3.5)), 1e-13);
  m.para.nu = -1;
  EXPECT_NEAR(FreeCalc(m, State({x})), F(std::log(3.5)), 1e-13);
  m.para.nu = -2;
  EXPECT_NEAR(FreeCalc(m, State({x})), F(0), 1e-13);
  m.para.nu = std::nan("");
  EXPECT_NEAR(FreeCalc(m, State({x})), F(0), 1e-13);
  m.para.nu = 4;
  m.para.z = 0;
  EXPECT_NEAR(FreeCalc(m, State({x})), F(0), 1e-13);

  // Fractional size: truncating factorials, real powers, weights not summing to 1.
  m.para.nu = 1.5;
  m.para.z = 2.5;
  m.para.dH2 = m.para.dS2 = 0;
  const double w = std::pow(x, 2.5) + 2 * std::pow(x, 1.5) * (1 - x) + std::sqrt(x) * (1 - x) * (1 - x);
  EXPECT_NEAR(FreeCalc(m, State({x})), F(w * std::log(3.5)), 1e-13);
}

TEST(FreeCalc, LigandActivityMode) {
  Model m;
  m.n0 = 2;
  m.T = 1.2;
  m.para.dH = 0.5;
  m.para.dS = 0.3;
  m.para.w = 0.4;
  m.para.dH2 = -0.6;
  m.para.dS2 = 0.2;
  m.para.nu = 3;
  m.para.mode = kAltMode;
  // p2 = 0, conc2 = 0: the mean-field value at z = 1.
  Model mf = m;
  mf.n0 = 1;
  mf.para.mode = 0;
  mf.para.z = 1;
  EXPECT_EQ(FreeCalc(m, State({0.35, 0.0})), FreeCalc(mf, State({0.35})));
  // The linear term carries no factor T; z plays no part.
  m.para.conc2 = 0.7;
  m.para.z = 123;
  mf.para.z = std::exp(-0.8);
  EXPECT_NEAR(FreeCalc(m, State({0.35, 0.8})), FreeCalc(mf, State({0.35})) + 0.7 * 0.8, 1e-13);

  // Only n0 = 2 has this mode.
  for (int n : {1, 4, 5, 8}) {
    Model other = m;
    other.n0 = n;
    EXPECT_EQ(FreeCalc(other, State({0.3, 0.1, 0.05, 0.05, 0.05, 0.05, 0.05, 0.05})), kSentinel);
  }
}

TEST(FreeCalc, SentinelOutsideTheRegion) {
  Model m;
  m.T = 1;
  m.n0 = 1;
  EXPECT_EQ(FreeCalc(m, State({0.0})), 42.0);
  EXPECT_EQ(FreeCalc(m, State({1.0})), 42.0);
  m.n0 = 2;
  EXPECT_EQ(FreeCalc(m, State({0.625, 0.25})), 42.0);
  EXPECT_EQ(FreeCalc(m, State({0.5, std::nan("")})), 42.0);
  m.n0 = 3;
  EXPECT_EQ(FreeCalc(m, State({0.3, 0.1, 0.1})), 42.0);
  m.n0 = 4;  // conc = 0
  EXPECT_EQ(FreeCalc(m, State({0.25, 0.0625, 0.0625, 0.0625})), 42.0);
}

TEST(FreeCalc, ExtremeBoltzmannFactorsStayFinite) {
  // Binding so strong that z e^(...) overflows: ln(1 + z e^a) -> a + ln z.
  Model m;
  m.n0 = 1;
  m.T = 1;
  m.para.nu = 0;
  m.para.z = 2;
  m.para.dH2 = -1000;
  const double x = 0.5;
  const double mix = -2 * XlnX(0.5);
  const double L = x * (1000 + std::log(2.0)) + (1 - x) * std::log(3.0);
  EXPECT_NEAR(FreeCalc(m, State({x})), -(mix + L), 1e-9);
  // No ligand at all: an empty spot whatever the factor (not 0 * inf).
  m.para.z = 0;
  EXPECT_NEAR(FreeCalc(m, State({x})), -mix, 1e-15);

  // Ligand sizes past the range of fak end at once; the weights are NaN.
  m.para.nu = 1e15;
  m.para.z = 1;
  EXPECT_TRUE(std::isnan(FreeCalc(m, State({x}))));
}

}  // namespace
}  // namespace chainmelt
