#include <gtest/gtest.h>

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

Model Mk(int n0, double T) {
  Model m;
  m.n0 = n0;
  m.T = T;
  return m;
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
  // Past 170! the result is inf; huge arguments end there instead of counting on.
  EXPECT_TRUE(std::isinf(fak(1e300)));
  EXPECT_TRUE(std::isinf(fak(std::numeric_limits<double>::infinity())));
}

TEST(FreeCalc, WorkedStatesAndRandomMixing) {
  Model m = Mk(4, 1);
  m.para.w = 1, m.para.w2 = 0.5, m.para.w3 = 0.25, m.para.e2 = 0.125;
  m.para.dH = 2, m.para.dS = 1, m.para.conc = 0.25;
  const double F4 = FreeCalc(m, State({0.25, 0.0625, 0.0625, 0.0625}));
  EXPECT_NEAR(F4, -0.3834707708, 1e-10);
  m.n0 = 5;  // the component fraction as a variable, pairs shifted by one
  EXPECT_NEAR(FreeCalc(m, State({0.25, 0.25, 0.0625, 0.0625, 0.0625})), F4, 1e-14);

  Model m8 = Mk(8, 1);
  m8.para.w = 1, m8.para.dH = 2, m8.para.dS = 1, m8.para.dH2 = 0.5, m8.para.dS2 = 0.25;
  m8.para.conc2 = 0.25;
  const double F8 = FreeCalc(
      m8, State({0.375, 0.125, 0.140625, 0.015625, 0.046875, 0.046875, 0.046875, 0.046875}));
  EXPECT_NEAR(F8, 0.0257676748, 1e-10);
  EXPECT_NEAR(1.28125 - F8, 1.2554823252, 1e-10);  // T S = U - F

  Model m2 = Mk(2, 1.7);
  m2.para.w = 0.3, m2.para.dH = 2, m2.para.dS = 1.1;
  EXPECT_NEAR(FreeCalc(m2, State({0.5, 0.25})),
              0.5 * (2 - 1.7 * 1.1) + 0.75 * 0.3 - 1.7 * std::log(2.0), 1e-13);

  // No energies, pairs at random mixing: F = T sum x ln x.
  Model r = Mk(4, 1.3);
  r.para.conc = 0.3;
  const double x = 0.4, c = 0.3;
  EXPECT_NEAR(FreeCalc(r, State({x, x * x, x * c, c * c})),
              1.3 * (XlnX(x) + XlnX(c) + XlnX(1 - x - c)), 1e-13);
  r.n0 = 8;
  r.para.conc2 = 0.35;
  const double a = 0.45, bf = 0.15, xA = 1 - 0.35 - a, xB = 0.35 - bf;
  EXPECT_NEAR(FreeCalc(r, State({a, bf, a * a, bf * bf, xA * xB, bf * xA, a * xB, a * bf})),
              1.3 * (XlnX(a) + XlnX(xA) + XlnX(bf) + XlnX(xB)), 1e-13);
}

TEST(FreeCalc, LigandSums) {
  Model m = Mk(1, 1);
  m.para.dS2 = std::log(3.0), m.para.z = 1, m.para.nu = 1;
  EXPECT_NEAR(FreeCalc(m, State({0.5})), -2.1352274295, 1e-10);

  m.T = 1.4, m.para.dH = 0.7, m.para.dS = 0.2, m.para.w = -0.3, m.para.z = 2.5;
  const double x = 0.3, T = m.T;
  const double U = x * (0.7 - T * 0.2) + 0.5 * -0.3 * x * x;
  auto F = [&](double L) { return U - T * (-XlnX(x) - XlnX(1 - x) + L); };
  m.para.nu = -1;
  EXPECT_NEAR(FreeCalc(m, State({x})), F(std::log(3.5)), 1e-13);
  for (double nu : {-2.0, std::nan("")}) {
    m.para.nu = nu;
    EXPECT_NEAR(FreeCalc(m, State({x})), F(0), 1e-13);
  }
  m.para.nu = 4, m.para.z = 0;
  EXPECT_NEAR(FreeCalc(m, State({x})), F(0), 1e-13);
  // Fractional size: truncating factorials, real powers; weights not summing to 1.
  m.para.nu = 1.5, m.para.z = 2.5, m.para.dS2 = 0;
  const double w = std::pow(x, 2.5) + 2 * std::pow(x, 1.5) * (1 - x) + std::sqrt(x) * (1 - x) * (1 - x);
  EXPECT_NEAR(FreeCalc(m, State({x})), F(w * std::log(3.5)), 1e-13);

  // z e^a overflowing: ln(1 + z e^a) -> a + ln z; with z = 0 the term is 0, not NaN.
  Model s = Mk(1, 1);
  s.para.nu = 0, s.para.z = 2, s.para.dH2 = -1000;
  const double mix = -2 * XlnX(0.5);
  EXPECT_NEAR(FreeCalc(s, State({0.5})), -(mix + 0.5 * (1000 + std::log(2.0)) + 0.5 * std::log(3.0)), 1e-9);
  s.para.z = 0;
  EXPECT_NEAR(FreeCalc(s, State({0.5})), -mix, 1e-15);
  // Sizes past the range of fak end at once (the weights are NaN).
  s.para.nu = 1e15, s.para.z = 1;
  EXPECT_TRUE(std::isnan(FreeCalc(s, State({0.5}))));
}

TEST(FreeCalc, ModesAndSentinel) {
  Model m = Mk(2, 1.2);
  m.para.dH = 0.5, m.para.dS = 0.3, m.para.w = 0.4, m.para.dH2 = -0.6, m.para.dS2 = 0.2;
  m.para.nu = 3, m.para.mode = kAltMode;
  Model mf = m;  // p2 = 0, conc2 = 0: the mean-field value at z = 1
  mf.n0 = 1, mf.para.mode = 0, mf.para.z = 1;
  EXPECT_EQ(FreeCalc(m, State({0.35, 0.0})), FreeCalc(mf, State({0.35})));
  for (int n : {1, 4, 5, 8}) {
    m.n0 = n;
    EXPECT_EQ(FreeCalc(m, State({0.3, 0.1, 0.05, 0.05, 0.05, 0.05, 0.05, 0.05})), kSentinel);
  }
  // Boundary states give the sentinel, not a limit value.
  EXPECT_EQ(FreeCalc(Mk(1, 1), State({1.0})), 42.0);
  EXPECT_EQ(FreeCalc(Mk(2, 1), State({0.625, 0.25})), 42.0);
  EXPECT_EQ(FreeCalc(Mk(2, 1), State({0.5, std::nan("")})), 42.0);
  EXPECT_EQ(FreeCalc(Mk(3, 1), State({0.3, 0.1, 0.1})), 42.0);
  EXPECT_EQ(FreeCalc(Mk(4, 1), State({0.25, 0.0625, 0.0625, 0.0625})), 42.0);  // conc = 0
}

TEST(ThetaCalc, WorkedValuesLimitsAndSentinel) {
  Model m = Mk(1, 1);
  m.para.dS2 = std::log(3.0), m.para.z = 1, m.para.nu = 1;
  EXPECT_NEAR(ThetaCalc(m, State({0.5})), 0.725, 1e-14);
  m.para.nu = -2;
  EXPECT_EQ(ThetaCalc(m, State({0.3})), 0.0);
  m.para.z = 2.5, m.para.nu = -1;  // one chain: no composition dependence
  EXPECT_NEAR(ThetaCalc(m, State({0.3})), 2.5 / 3.5, 1e-14);
  m.para.dS2 = 0;  // no binding energy: the weights sum to 1
  for (int nu = 0; nu <= 18; ++nu) {
    m.para.nu = nu;
    EXPECT_NEAR(ThetaCalc(m, State({0.3})), 2.5 / 3.5, 1e-13) << nu;
  }
  // Factors beyond the range of a double: at nu = 2 the spots over a fluid
  // chain (7/8 of the weight) are full, the all-gel spot half full.
  m.para.nu = 2, m.para.z = 1, m.para.dH2 = -1000;
  EXPECT_NEAR(ThetaCalc(m, State({0.5})), 0.875 + 0.125 * 0.5, 1e-15);
  m.para.z = 0;  // no ligand: 0, not 0 / 0
  EXPECT_EQ(ThetaCalc(m, State({0.5})), 0.0);

  EXPECT_EQ(ThetaCalc(m, State({1.0})), 42.0);
  EXPECT_EQ(ThetaCalc(Mk(2, 1), State({0.5, 0.25})), 42.0);
  m.para.mode = kAltMode;
  EXPECT_EQ(ThetaCalc(m, State({0.5})), 42.0);
}

TEST(ThetaCalc, IsTheSlopeOfTheFreeEnergyInLnZ) {
  // theta = -(1/T) dF/d(ln z) at fixed state.
  std::mt19937 rng(99);
  auto U = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); };
  for (int t = 0; t < 200; ++t) {
    Model m = Mk(1, U(0.3, 3));
    m.para.dH = U(-2, 2), m.para.dS = U(-2, 2), m.para.w = U(-2, 2);
    m.para.dH2 = U(-3, 3), m.para.dS2 = U(-2, 2);
    m.para.nu = std::uniform_int_distribution<int>(-1, 18)(rng);
    const double lnz = U(-4, 4), h = 1e-5;
    const StateVec p = State({U(0.01, 0.99)});
    m.para.z = std::exp(lnz + h);
    const double Fhi = FreeCalc(m, p);
    m.para.z = std::exp(lnz - h);
    const double Flo = FreeCalc(m, p);
    m.para.z = std::exp(lnz);
    ASSERT_NEAR(ThetaCalc(m, p), -(Fhi - Flo) / (2 * h) / m.T, 1e-7) << "nu " << m.para.nu;
  }
}

}  // namespace
}  // namespace chainmelt
