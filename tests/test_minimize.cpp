#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "numeric/minimize.hpp"

namespace chainmelt {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(Mnbrak, ExchangesEqualsAndStopsAtOnce) {
  int calls = 0;
  auto parabola = [&calls](double t) { ++calls; return (t - 0.3) * (t - 0.3); };
  double a = 0.0, b = 1.0, c = 0.0, fa = 0.0, fb = 0.0, fc = 0.0;
  mnbrak(a, b, c, fa, fb, fc, parabola);
  // f(1) > f(0): the walk turns toward negative abscissae, and the first
  // golden step already closes the bracket.
  EXPECT_EQ(a, 1.0);
  EXPECT_EQ(b, 0.0);
  EXPECT_EQ(c, 0.0 + 1.618034 * (0.0 - 1.0));
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(fb, 0.09);

  // Equal values are not exchanged.
  auto flat = [](double) { return 5.0; };
  a = 0.0, b = 1.0;
  mnbrak(a, b, c, fa, fb, fc, flat);
  EXPECT_EQ(a, 0.0);
  EXPECT_EQ(b, 1.0);
  EXPECT_EQ(c, 1.0 + 1.618034);
}

TEST(Dbrent, FindsParabolaMinimumAndReturnsEarlyWhenConverged) {
  auto f = [](double t) { return (t - 0.3) * (t - 0.3); };
  auto df = [](double t) { return 2.0 * (t - 0.3); };
  double a = 0.0, b = 1.0, c = 0.0, fa, fb, fc, xmin = 0.0;
  mnbrak(a, b, c, fa, fb, fc, f);
  const double fmin = dbrent(a, b, c, f, df, 2e-4, xmin);
  EXPECT_LE(std::fabs(xmin - 0.3), 2.0 * (2e-4 * std::fabs(xmin) + 1e-10));
  EXPECT_LT(fmin, 1e-12);
  EXPECT_EQ(fmin, f(xmin));

  // A bracket whose middle already meets the tolerance: one value and one
  // derivative, and the middle comes back.
  int fcalls = 0, dcalls = 0;
  auto fc1 = [&](double t) { ++fcalls; return f(t); };
  auto dc1 = [&](double t) { ++dcalls; return df(t); };
  const double got = dbrent(0.3 - 1e-5, 0.3, 0.3 + 1e-5, fc1, dc1, 2e-4, xmin);
  EXPECT_EQ(xmin, 0.3);
  EXPECT_EQ(got, 0.0);
  EXPECT_EQ(fcalls, 1);
  EXPECT_EQ(dcalls, 1);
}

TEST(LineSearch, WalledFunctionsEndInsideTheirDomain) {
  // (t - 0.3)^2 on (0, 0.5), +inf outside.
  auto f = [](double t) { return (t > 0.0 && t < 0.5) ? (t - 0.3) * (t - 0.3) : kInf; };
  auto df = [](double t) { return (t > 0.0 && t < 0.5) ? 2.0 * (t - 0.3) : 0.0; };
  double a = 0.4, b = 1.4, c = 0.0, fa, fb, fc, xmin = 0.0;
  mnbrak(a, b, c, fa, fb, fc, f);
  EXPECT_EQ(b, 0.4);
  EXPECT_EQ(fc, kInf);
  const double v = dbrent(a, b, c, f, df, 2e-4, xmin);
  EXPECT_NEAR(xmin, 0.3, 1e-6);
  EXPECT_LT(v, 1e-12);

  // Both starting points on the wall: nothing to walk, the bracket is flat.
  a = 2.0, b = 3.0;
  mnbrak(a, b, c, fa, fb, fc, f);
  EXPECT_EQ(fb, kInf);
  EXPECT_EQ(dbrent(a, b, c, f, df, 2e-4, xmin), kInf);

  // Decreasing toward the wall: the bracket closes at the wall and the
  // minimum found lies just inside it.
  auto slope = [](double t) { return (t > 0.0 && t < 1.0) ? 1.0 - t : kInf; };
  auto dslope = [](double t) { return (t > 0.0 && t < 1.0) ? -1.0 : 0.0; };
  a = 0.1, b = 0.2;
  mnbrak(a, b, c, fa, fb, fc, slope);
  ASSERT_LT(fb, kInf);
  const double w = dbrent(a, b, c, slope, dslope, 2e-4, xmin);
  EXPECT_LT(xmin, 1.0);
  EXPECT_GT(xmin, 0.999);
  EXPECT_NEAR(w, 0.0, 1e-3);
}

struct Quadratic {
  // 2 (x1 - 1)^2 + (x2 + 0.5)^2 + 3 (x3 - 0.25)^2 + x1 x2
  double operator()(const StateVec& p) const {
    const double a = p[1] - 1.0, b = p[2] + 0.5, c = p[3] - 0.25;
    return 2.0 * a * a + b * b + 3.0 * c * c + p[1] * p[2];
  }
  void grad(const StateVec& p, StateVec& g) const {
    g[1] = 4.0 * (p[1] - 1.0) + p[2];
    g[2] = 2.0 * (p[2] + 0.5) + p[1];
    g[3] = 6.0 * (p[3] - 0.25);
  }
};

TEST(Frprmn, ConvexQuadraticAndZeroGradientStart) {
  Quadratic q;
  auto grad = [&q](const StateVec& p, StateVec& g) { q.grad(p, g); };
  StateVec p;
  p[1] = -2.0, p[2] = 3.0, p[3] = 1.0;
  int iter = 0;
  double fret = 0.0;
  frprmn(p, 3, 1e-15, iter, fret, q, grad);
  // Minimum of the quadratic: 4 x1 + x2 = 4, x1 + 2 x2 = -1, x3 = 0.25.
  EXPECT_NEAR(p[1], 9.0 / 7.0, 1e-7);
  EXPECT_NEAR(p[2], -8.0 / 7.0, 1e-7);
  EXPECT_NEAR(p[3], 0.25, 1e-7);
  EXPECT_EQ(fret, q(p));
  EXPECT_GT(iter, 1);
  EXPECT_LT(iter, 100);

  // A start where the gradient vanishes exactly: one line minimisation, the
  // point does not move.
  StateVec m;
  m[1] = 9.0 / 7.0 + 1.0, m[2] = 0.0, m[3] = 0.25;
  auto flat = [](const StateVec&) { return 1.5; };
  auto zero = [](const StateVec&, StateVec& g) { g[1] = g[2] = g[3] = 0.0; };
  const StateVec before = m;
  frprmn(m, 3, 1e-15, iter, fret, flat, zero);
  EXPECT_EQ(iter, 1);
  EXPECT_EQ(fret, 1.5);
  for (int j = 1; j <= 3; ++j) EXPECT_EQ(m[j], before[j]);
}

TEST(Frprmn, WallAroundTheDomainEndsAtAFeasibleMinimum) {
  // Decreasing toward the wall at 0.
  auto lin = [](const StateVec& p) { return (p[1] > 0.0 && p[1] < 1.0) ? p[1] : kInf; };
  auto dlin = [](const StateVec& p, StateVec& g) {
    g[1] = (p[1] > 0.0 && p[1] < 1.0) ? 1.0 : 0.0;
  };
  StateVec p;
  p[1] = 0.5;
  int iter = 0;
  double fret = 0.0;
  frprmn(p, 1, 1e-15, iter, fret, lin, dlin);
  EXPECT_GT(p[1], 0.0);
  EXPECT_LT(p[1], 1e-3);
  EXPECT_EQ(fret, p[1]);
}

// A parabola with a little deterministic noise that differs at every
// evaluation: no two successive line minima ever agree to the tolerance.
TEST(FrprmnDeathTest, IterationLimitIsFatal) {
  auto run = [] {
    long calls = 0;
    auto noisy = [&calls](const StateVec& p) {
      const double k = static_cast<double>(++calls) * 0.6180339887498949;
      return (p[1] - 0.3) * (p[1] - 0.3) + 1.0 + 1e-9 * (k - std::floor(k));
    };
    auto grad = [](const StateVec& p, StateVec& g) { g[1] = 2.0 * (p[1] - 0.3); };
    StateVec p;
    p[1] = 1.0;
    int iter = 0;
    double fret = 0.0;
    try {
      frprmn(p, 1, 1e-15, iter, fret, noisy, grad);
    } catch (const FatalError& e) {
      ReportFatal(stderr, e.what());
      std::exit(1);
    }
    std::exit(0);
  };
  EXPECT_EXIT(run(), ::testing::ExitedWithCode(1),
              "^Vorn run-time error\\.\\.\\.\nToo many iterations in frprmn\n"
              "\\.\\.\\.now exiting to system\\.\\.\\.\n$");
}

}  // namespace
}  // namespace chainmelt
