#include <gtest/gtest.h>

#include <cmath>
#include <functional>
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

struct Case {
  Model m;
  StateVec p;
  double h = 0;  // difference step suited to the distance from the boundary
};

// A random parameter set and a random feasible state of variant n0 near
// random mixing, with a difference step small against the distance from the
// boundary.  False when the draw is too close to the boundary.
bool Draw(std::mt19937& rng, int n0, Case& c) {
  auto U = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); };
  Model& m = c.m;
  m = Model{};
  m.n0 = n0;
  m.T = U(0.3, 3.0);
  for (double* f : {&m.para.w, &m.para.w2, &m.para.w3, &m.para.e2, &m.para.dH, &m.para.dS,
                    &m.para.dH2, &m.para.dS2})
    *f = U(-2.0, 2.0);
  m.para.conc = U(0.05, 0.5);
  m.para.conc2 = U(0.1, 0.7);
  m.para.z = U(0.0, 3.0);
  m.para.nu = std::uniform_int_distribution<int>(-1, 8)(rng);

  StateVec& p = c.p;
  const double conc = m.para.conc, b = m.para.conc2;
  auto f = [&] { return U(0.3, 1.7); };
  switch (n0) {
    case 1:
      p[1] = U(0.01, 0.99);
      break;
    case 2:
      p[1] = U(0.02, 0.98);
      p[2] = p[1] * p[1] * f();
      break;
    case 4:
      p[1] = U(0.01, 0.99 - conc);
      p[2] = p[1] * p[1] * f();
      p[3] = p[1] * conc * f();
      p[4] = conc * conc * f();
      break;
    case 5:
      p[1] = U(0.01, 0.9);
      p[2] = U(0.01, 0.99 - p[1]);
      p[3] = p[1] * p[1] * f();
      p[4] = p[1] * p[2] * f();
      p[5] = p[2] * p[2] * f();
      break;
    case 8: {
      p[1] = U(0.01, 0.99 - b);
      p[2] = U(0.01, b - 0.01);
      const double xA = 1 - b - p[1], xB = b - p[2];
      p[3] = p[1] * p[1] * f();
      p[4] = p[2] * p[2] * f();
      p[5] = xA * xB * f();
      p[6] = p[2] * xA * f();
      p[7] = p[1] * xB * f();
      p[8] = p[1] * p[2] * f();
      break;
    }
  }
  for (double d = 0.1; d >= 1e-5; d /= 10) {
    bool inside = true;
    for (int i = 1; i <= n0 && inside; ++i) {
      StateVec lo = p, hi = p;
      lo[i] -= d;
      hi[i] += d;
      inside = Check(m, lo, n0) && Check(m, hi, n0);
    }
    if (inside) {
      c.h = d * 1e-4;
      return true;
    }
  }
  return false;
}

double CentralDifference(const Model& m, const StateVec& p, int i, double h) {
  StateVec hi = p, lo = p;
  hi[i] += h;
  lo[i] -= h;
  return (FreeCalc(m, hi) - FreeCalc(m, lo)) / (2 * h);
}

TEST(DerCalc, AgreesWithCentralDifferencesOfFreeCalc) {
  std::mt19937 rng(20240611);
  for (int n0 : {1, 2, 4, 5, 8}) {
    int tested = 0;
    for (int attempt = 0; attempt < 20000 && tested < 300; ++attempt) {
      Case c;
      if (!Draw(rng, n0, c)) continue;
      ++tested;
      // Every other n0 = 1 case with a fractional (or below -1) ligand size.
      if (n0 == 1 && tested % 2 == 0)
        c.m.para.nu = std::uniform_real_distribution<double>(-3, 6)(rng);
      StateVec g;
      DerCalc(c.m, c.p, g);
      for (int i = 1; i <= n0; ++i) {
        const double fd = CentralDifference(c.m, c.p, i, c.h);
        ASSERT_NEAR(g[i], fd, 1e-6 * (1 + std::fabs(g[i])))
            << "n0 " << n0 << " component " << i << " T " << c.m.T << " nu " << c.m.para.nu;
      }
    }
    EXPECT_EQ(tested, 300) << n0;
  }
}

// The ligand slope term by term as it is usually written: the k = 0 member,
// the sum over 1 <= k <= nu, and the k = N member, with ln(1 + q(k)) given.
double WrittenSlope(double x, double nu, const std::function<double(double)>& lnq,
                    double last) {
  const double N = nu + 1;
  double lam = N * std::pow(x, nu) * lnq(0);
  for (double k = 1; k <= nu; k += 1)
    lam += fak(N) / (fak(N - k) * fak(k)) *
           ((N - k) * std::pow(x, nu - k) * std::pow(1 - x, k) -
            k * std::pow(x, N - k) * std::pow(1 - x, k - 1)) *
           lnq(k);
  return lam - N * std::pow(1 - x, nu) * last;
}

TEST(DerCalc, MeanFieldLigandSlopeIsTheWrittenOneForWholeSizes) {
  Model m;
  m.n0 = 1, m.T = 1.3;
  m.para.dH = 0.8, m.para.dS = 0.5, m.para.w = 0.4;
  m.para.dH2 = 0.3, m.para.dS2 = -0.2, m.para.z = 1.7;
  const double x = 0.35, T = m.T, eps = 0.3 - T * -0.2;
  StateVec g;
  for (int nu = -1; nu <= 18; ++nu) {
    m.para.nu = nu;
    DerCalc(m, State({x}), g);
    const double N = nu + 1.0;
    const double lam = WrittenSlope(
        x, nu, [&](double k) { return std::log(1 + 1.7 * std::exp(-(N - k) * eps / T)); },
        std::log(1 + 1.7));
    EXPECT_EQ(g[1], (0.8 - T * 0.5) + 0.4 * x - T * (std::log(1 - x) - std::log(x) + lam))
        << nu;
  }
}

TEST(DerCalc, ZeroVectorOutsideTheRegion) {
  Model m;
  m.T = 0.9;
  const StateVec junk = State({9, 9, 9, 9, 9, 9, 9, 9});
  auto zeroed = [&](const Model& mm, const StateVec& p) {
    StateVec out = junk;
    DerCalc(mm, p, out);
    for (int i = 1; i <= mm.n0; ++i)
      if (out[i] != 0.0) return false;
    return true;
  };
  m.n0 = 1;
  EXPECT_TRUE(zeroed(m, State({0.0})));
  EXPECT_TRUE(zeroed(m, State({1.0})));
  m.n0 = 2;
  EXPECT_TRUE(zeroed(m, State({0.625, 0.25})));
  EXPECT_TRUE(zeroed(m, State({std::nan(""), 0.25})));
  m.n0 = 3;
  EXPECT_TRUE(zeroed(m, State({0.3, 0.1, 0.1})));
  m.n0 = 4;
  m.para.conc = 0.25;
  m.para.mode = kAltMode;
  EXPECT_TRUE(zeroed(m, State({0.25, 0.0625, 0.0625, 0.0625})));
  // Ligands over one chain at a vanishing fluid fraction: no 0 * inf.
  Model one;
  one.n0 = 1, one.T = 1, one.para.nu = -1, one.para.z = 1;
  StateVec g;
  DerCalc(one, State({1e-310}), g);
  EXPECT_TRUE(std::isfinite(g[1]));
  one.n0 = 2, one.para.mode = kAltMode;
  DerCalc(one, State({1e-310, 0.0}), g);
  EXPECT_TRUE(std::isfinite(g[1]) && std::isfinite(g[2]));
  // A variant number past the capacity of a state vector writes nothing past it.
  m.n0 = 12;
  StateVec out = junk;
  DerCalc(m, State({0.1}), out);
  for (int i = 1; i <= kMaxVars; ++i) EXPECT_EQ(out[i], 0.0);
}

TEST(DerCalc, LigandActivityModeIsFiniteAndFollowsItsFormulas) {
  std::mt19937 rng(4242);
  auto U = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); };
  int compared = 0;
  for (int t = 0; t < 300; ++t) {
    Model m;
    m.n0 = 2, m.para.mode = kAltMode, m.T = U(0.05, 3.0);
    m.para.dH = U(-2, 2), m.para.dS = U(-2, 2), m.para.w = U(-2, 2);
    m.para.dH2 = U(-5, 5), m.para.dS2 = U(-2, 2), m.para.conc2 = U(0, 1);
    m.para.nu = std::uniform_int_distribution<int>(-1, 18)(rng);
    const double p2 = t % 3 == 0 ? U(-1e4, 1e4) : U(-30, 30);
    const StateVec p = State({U(0.001, 0.999), p2});
    StateVec g;
    DerCalc(m, p, g);
    const double F = FreeCalc(m, p);
    ASSERT_TRUE(std::isfinite(F) && std::isfinite(g[1]) && std::isfinite(g[2]))
        << "T " << m.T << " nu " << m.para.nu << " p2 " << p2;

    // The formulas with plain exponentials, wherever they are finite.
    const double x = p[1], T = m.T, N = m.para.nu + 1, eps = m.para.dH2 - T * m.para.dS2;
    auto B = [&](double k) {
      return fak(N) / (fak(N - k) * fak(k)) * std::pow(x, N - k) * std::pow(1 - x, k);
    };
    double L = 0, bound = 0;
    for (double k = 0; k <= N; k += 1) {
      L += B(k) * std::log(1 + std::exp(-(N - k) * eps / T - p2));
      bound += B(k) / (1 + std::exp((N - k) * eps / T - p2));
    }
    const double lam = WrittenSlope(
        x, m.para.nu, [&](double k) { return std::log(1 + std::exp(-(N - k) * eps / T - p2)); },
        std::log(1 + std::exp(p2 / T)));
    const double g1 =
        (m.para.dH - T * m.para.dS) + m.para.w * x - T * (std::log(1 - x) - std::log(x) + lam);
    const double Fw = x * (m.para.dH - T * m.para.dS) + 0.5 * m.para.w * x * x -
                      T * (-x * std::log(x) - (1 - x) * std::log(1 - x) + L) + m.para.conc2 * p2;
    EXPECT_EQ(g[2], m.para.conc2 - bound);
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
