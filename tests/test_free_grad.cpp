#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>

#include "model/free_grad.hpp"
#include "model/model.hpp"
#include "model/terms.hpp"

namespace chainmelt {
namespace {

std::uint64_t Bits(double v) {
  std::uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

// A random parameter set and a random box start of variant n0 (alt: the
// ligand-activity mode), with some fluid fractions near 0 and, in the
// ligand-activity mode, large activity variables.
void Draw(std::mt19937& rng, std::int32_t& idum, int n0, bool alt, Model& m, StateVec& p) {
  auto U = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); };
  m = Model{};
  m.n0 = n0;
  m.T = U(0.05, 4.0);
  if (alt) m.para.mode = kAltMode;
  for (double* f : {&m.para.w, &m.para.w2, &m.para.w3, &m.para.e2, &m.para.dH, &m.para.dS,
                    &m.para.dH2, &m.para.dS2})
    *f = U(-4.0, 4.0);
  m.para.conc = U(0.02, 0.6);
  m.para.conc2 = U(0.02, 0.9);
  m.para.z = U(0.0, 1.0) < 0.1 ? 0.0 : U(0.0, 4.0);
  // Whole ligand sizes as the system sets them, fractional ones, and sizes
  // around 170 where the factorials overflow and the ligand sums turn NaN.
  const double r = U(0.0, 1.0);
  m.para.nu = r < 0.6   ? std::uniform_int_distribution<int>(-2, 20)(rng)
              : r < 0.85 ? U(-3.0, 25.0)
                         : std::uniform_int_distribution<int>(165, 175)(rng);
  Init(m, p, n0, &idum);
  if (U(0.0, 1.0) < 0.1) p[1] = std::pow(10.0, -U(1.0, 300.0));
  if (alt) p[2] = U(0.0, 1.0) < 0.3 ? U(-1e4, 1e4) : U(-40.0, 40.0);
}

// The ligand variants written plainly, every factorial, power, exponential
// and logarithm evaluated afresh where it appears: the reference for the
// values that one evaluation keeps and hands out again.
struct PlainLigand {
  const Model& m;
  double x, a;
  bool alt;
  double N() const { return m.para.nu + 1.0; }
  double eps() const { return m.para.dH2 - m.T * m.para.dS2; }
  double C(double k) const { return fak(N()) / (fak(N() - k) * fak(k)); }
  double W(double k) const { return C(k) * std::pow(x, N() - k) * std::pow(1.0 - x, k); }
  double Bind(double k) const {
    return alt ? terms::Log1pExp(-(N() - k) * eps() / m.T - a)
               : terms::Log1pZExp(m.para.z, -(N() - k) * eps() / m.T);
  }
  double Slope(double k) const {
    const double nu = m.para.nu;
    const double up = N() - k == 0.0 ? 0.0 : (N() - k) * std::pow(x, nu - k) * std::pow(1.0 - x, k);
    const double down = k == 0.0 ? 0.0 : k * std::pow(x, N() - k) * std::pow(1.0 - x, k - 1.0);
    return up - down;
  }
  void Eval(double& F, StateVec& g) const {
    const Para& P = m.para;
    const double T = m.T;
    double L = 0.0, lam = 0.0, bound = 0.0;
    for (double k = 0.0; k <= N() && !std::isnan(L); k += 1.0) L += W(k) * Bind(k);
    const double S = -x * std::log(x) - (1.0 - x) * std::log(1.0 - x) + L;
    F = x * (P.dH - T * P.dS) + 0.5 * P.w * (x * x) - T * S;
    if (!alt) {
      for (double k = 0.0; k <= N() && !std::isnan(lam); k += 1.0) lam += C(k) * Slope(k) * Bind(k);
      g[1] = ((P.dH - T * P.dS) + P.w * x) - T * (std::log(1.0 - x) - std::log(x) + lam);
      return;
    }
    F = F + P.conc2 * a;
    lam = Slope(0.0) * Bind(0.0);
    for (double k = 1.0; k <= P.nu && !std::isnan(lam); k += 1.0) lam += C(k) * Slope(k) * Bind(k);
    lam -= N() * std::pow(1.0 - x, P.nu) * terms::Log1pExp(a / T);
    g[1] = (P.dH - T * P.dS) + P.w * x - T * (std::log(1.0 - x) - std::log(x) + lam);
    for (double k = 0.0; k <= N() && !std::isnan(bound); k += 1.0)
      bound += W(k) / (1.0 + std::exp((N() - k) * eps() / T - a));
    g[2] = P.conc2 - bound;
  }
};

// Value and gradient together are bit for bit FreeCalc and DerCalc, every
// component and the sentinel included.
void ExpectSameBits(const Model& m, const StateVec& p) {
  StateVec g1, g2;
  for (int i = 0; i <= kMaxVars; ++i) g1[i] = g2[i] = -7.0;
  DerCalc(m, p, g1);
  const double F = FreeDerCalc(m, p, g2);
  ASSERT_EQ(Bits(F), Bits(FreeCalc(m, p))) << "n0 " << m.n0 << " nu " << m.para.nu;
  for (int i = 0; i <= kMaxVars; ++i)
    ASSERT_EQ(Bits(g1[i]), Bits(g2[i])) << "n0 " << m.n0 << " nu " << m.para.nu << " g" << i;
  const bool alt = IsAltMode(m.para);
  if (F == kSentinel || !(m.n0 == 1 || alt)) return;
  double Fp;
  StateVec gp = g2;
  PlainLigand{m, p[1], alt ? p[2] : 0.0, alt}.Eval(Fp, gp);
  EXPECT_EQ(Bits(F), Bits(Fp)) << "nu " << m.para.nu << " x " << p[1];
  for (int i = 1; i <= m.n0; ++i) EXPECT_EQ(Bits(g2[i]), Bits(gp[i])) << "nu " << m.para.nu;
}

TEST(FreeDerCalc, BitIdenticalToFreeCalcAndDerCalc) {
  std::mt19937 rng(90210);
  std::int32_t idum = 123;
  struct Kind {
    int n0;
    bool alt;
  };
  for (Kind k : {Kind{1, false}, Kind{2, false}, Kind{4, false}, Kind{5, false},
                 Kind{8, false}, Kind{2, true}}) {
    int feasible = 0;
    for (int t = 0; t < 20000 && feasible < 300; ++t) {
      Model m;
      StateVec p;
      Draw(rng, idum, k.n0, k.alt, m, p);
      if (FreeCalc(m, p) != kSentinel) ++feasible;
      ExpectSameBits(m, p);
      if (HasFatalFailure()) return;
    }
    EXPECT_EQ(feasible, 300) << k.n0 << (k.alt ? " alt" : "");
  }
}

TEST(FreeDerCalc, OutsideTheRegionSentinelAndZeroVector) {
  std::mt19937 rng(7);
  std::int32_t idum = 123;
  for (int n0 : {1, 2, 3, 4, 5, 8}) {
    for (bool alt : {false, true}) {
      Model m;
      StateVec p;
      Draw(rng, idum, n0 == 3 ? 4 : n0, alt, m, p);
      m.n0 = n0;
      for (double v : {0.0, 42.0}) {
        StateVec q, g;
        for (int i = 1; i <= kMaxVars; ++i) q[i] = v, g[i] = 9.0;
        EXPECT_EQ(FreeDerCalc(m, q, g), kSentinel);
        for (int i = 1; i <= n0; ++i) EXPECT_EQ(g[i], 0.0) << n0 << " " << i;
        ExpectSameBits(m, q);
      }
      // Alternative mode outside n0 = 2, and an undefined variant, at a
      // drawn state.
      if ((alt && n0 != 2) || n0 == 3) {
        StateVec g;
        EXPECT_EQ(FreeDerCalc(m, p, g), kSentinel);
        ExpectSameBits(m, p);
      }
    }
  }
}

}  // namespace
}  // namespace chainmelt
