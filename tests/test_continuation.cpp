// Equilibrium curves by continuation: never above the global search at any
// point, the same curve at any thread count, and the runs that used to end
// the program or report transitions where nothing jumps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <random>
#include <stdexcept>
#include <vector>

#include "model/model.hpp"
#include "numeric/fatal.hpp"
#include "search/continuation.hpp"
#include "search/equilibrium.hpp"
#include "model_util.hpp"

namespace chainmelt {
namespace {

using testing::Lipid;
using testing::Mixture5;

std::vector<double> Range(double lo, double hi, int n) {
  std::vector<double> xs(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) xs[i] = lo + (hi - lo) * i / (n - 1);
  return xs;
}

// A random model of variant n0 melting near Tm; the other fields on the
// scale of Tm.
Model RandomModel(std::mt19937& gen, int n0, double Tm) {
  auto u = [&gen](double a, double b) {
    return a + (b - a) * std::generate_canonical<double, 53>(gen);
  };
  Model m = Lipid(n0, -Tm * u(0.0, n0 == 1 ? 6.0 : 1.1), Tm, Tm * u(4.0, 13.0));
  Para& p = m.para;
  switch (n0) {
    case 1:
      p.z = u(0.0, 2.0), p.nu = static_cast<int>(u(0.0, 4.0)), p.dH2 = Tm * u(-1.0, 1.0);
      p.dS2 = u(-1.0, 1.0);
      break;
    case 4:
      p.conc = u(0.05, 0.5), p.w2 = Tm * u(-0.4, 0.4), p.w3 = Tm * u(-0.4, 0.4);
      p.e2 = Tm * u(-1.0, 1.0);
      break;
    case 5:
      p.w2 = Tm * u(-0.4, 0.4), p.w3 = Tm * u(-0.4, 0.4), p.e2 = Tm * u(-0.5, 1.5);
      break;
    case 8:
      p.conc2 = u(0.2, 0.8), p.dH2 = -p.dH * u(0.0, 0.4), p.dS2 = p.dH2 / Tm * u(0.8, 1.2);
      break;
    default:
      break;
  }
  return m;
}

// The global search at one point: its lowest free energy, or false when it
// fails (the engine must not).
bool GlobalAt(const Model& m, double T, double& F) {
  RunState rs;
  static_cast<Model&>(rs) = m;
  rs.T = T;
  try {
    F = StepOrderEquilibrium(rs).lowest.f;
  } catch (const FatalError&) {
    return false;
  }
  return true;
}

std::string Describe(const Model& m) {
  const Para& p = m.para;
  char s[400];
  std::snprintf(s, sizeof s,
                "n0 %d w %.17g w2 %.17g w3 %.17g e2 %.17g dH %.17g dS %.17g dH2 %.17g dS2 %.17g "
                "conc %.17g conc2 %.17g z %.17g nu %.17g",
                m.n0, p.w, p.w2, p.w3, p.e2, p.dH, p.dS, p.dH2, p.dS2, p.conc, p.conc2, p.z, p.nu);
  return s;
}

// Every record at or below the global search started at its point, to 1e-10
// of |F| (of 1 where F is smaller).
void ExpectNoHigherThanGlobal(const Model& m, const Curve& c, const char* what) {
  for (const CurvePoint& p : c.points) {
    ASSERT_TRUE(p.ok) << what << " T " << p.x << " " << Describe(m) << " from "
                      << c.points.front().x << " to " << c.points.back().x;
    double g = 0.0;
    if (!GlobalAt(m, p.x, g)) continue;
    EXPECT_LE(p.F, g + 1e-10 * std::fmax(1.0, std::fabs(g)))
        << what << " T " << p.x << " minima " << p.minima << " " << Describe(m);
  }
}

TEST(Continuation, NoPointAboveTheGlobalSearchOnRandomBatteriesOfEveryVariantAndScale) {
  std::mt19937 gen(20261207);
  for (const int n0 : {1, 2, 4, 5, 8}) {
    for (const bool kelvin : {false, true}) {
      for (int k = 0; k < 8; ++k) {
        const double Tm = kelvin ? 280.0 + 60.0 * std::generate_canonical<double, 53>(gen)
                                 : 2.0 + 2.0 * std::generate_canonical<double, 53>(gen);
        const Model m = RandomModel(gen, n0, Tm);
        // Half the cases on a fine sweep in several blocks (their ends and
        // joins), half on a coarse and wide one in a single block.
        ContinuationOptions o;
        const bool fine = k % 2 == 0;
        if (fine) o.block = 5;
        const Curve c = TrackCurve(m, fine ? Range(0.85 * Tm, 1.15 * Tm, 13)
                                           : Range(0.6 * Tm, 1.4 * Tm, 41), o);
        ExpectNoHigherThanGlobal(m, c, kelvin ? "kelvin" : "order-1");
        EXPECT_EQ(c.unresolved, 0) << Describe(m);
        for (const Jump& j : c.jumps) {
          EXPECT_NE(j.from, j.to);
          EXPECT_GT(j.x, c.points[j.after].x - 1e-12);
          EXPECT_LT(j.x, c.points[j.after + 1].x + 1e-12);
        }
      }
    }
  }
}

TEST(Continuation, TheIssueCasesAtOnePointAndAroundIt) {
  // The runs that used to end with "Too many iterations in frprmn", and the
  // mixture whose equilibrium search saw transitions in a continuous state.
  Model a = Lipid(5, -1.8804, 3.1233, 39.9351);
  a.para.w2 = -0.9729, a.para.e2 = -0.1015, a.para.w3 = -0.9703;
  Model b;
  b.n0 = 8;
  b.para.w = -3, b.para.conc2 = 0.4, b.para.dH2 = -3, b.para.dS2 = -1, b.para.dH = 35;
  b.para.dS = 11;
  const Model c = Mixture5(-300, 3500, 11);
  struct Case {
    const Model& m;
    double T;
    bool fails;  // the equilibrium search itself stops there
  };
  for (const Case& k : {Case{a, 2.3125, true}, Case{b, 3.1796875, true}, Case{c, 280.0, false}}) {
    const Curve one = TrackCurve(k.m, {k.T});
    ASSERT_EQ(one.points.size(), 1u);
    EXPECT_TRUE(one.points[0].ok);
    EXPECT_TRUE(one.points[0].global);
    double g = 0.0;
    EXPECT_EQ(GlobalAt(k.m, k.T, g), !k.fails);
    // Damped Newton from the grid now reaches the minima these starts of
    // conjugate gradients failed on; a start that fails is no longer fatal.
    if (!k.fails) {
      EXPECT_EQ(one.failed_starts, 0);
    }
    const Curve around = TrackCurve(k.m, Range(0.97 * k.T, 1.03 * k.T, 9));
    ExpectNoHigherThanGlobal(k.m, around, "issue");
  }
}

// Every byte of the curve.
bool SameCurve(const Curve& a, const Curve& b) {
  if (a.points.size() != b.points.size() || a.jumps.size() != b.jumps.size()) return false;
  for (std::size_t i = 0; i < a.points.size(); ++i) {
    const CurvePoint &p = a.points[i], &q = b.points[i];
    if (std::memcmp(&p.p, &q.p, sizeof p.p) != 0 || std::memcmp(&p.F, &q.F, sizeof p.F) != 0 ||
        std::memcmp(&p.U, &q.U, sizeof p.U) != 0 || std::memcmp(&p.Cp, &q.Cp, sizeof p.Cp) != 0 ||
        p.branch != q.branch || p.minima != q.minima || p.iterations != q.iterations ||
        p.global != q.global || p.ok != q.ok)
      return false;
  }
  for (std::size_t i = 0; i < a.jumps.size(); ++i) {
    const Jump &j = a.jumps[i], &k = b.jumps[i];
    if (j.after != k.after || std::memcmp(&j.x, &k.x, sizeof j.x) != 0 ||
        std::memcmp(&j.latent, &k.latent, sizeof j.latent) != 0 || j.from != k.from ||
        j.to != k.to)
      return false;
  }
  return a.global_searches == b.global_searches && a.branches == b.branches;
}

TEST(Continuation, TheSameCurveToTheLastBitAtOneTwoThreeAndEightThreads) {
  // A first-order transition (n0 = 2) and a broad one (n0 = 8), in blocks of
  // 16 points so that the threads share them out differently.
  Model two = Lipid(2, -300.0, 314.0, 2200.0);
  Model eight = Lipid(8, -220.0, 314.0, 2200.0);
  eight.para.conc2 = 0.5, eight.para.dH2 = -700, eight.para.dS2 = -1.956;
  for (const Model* m : {&two, &eight}) {
    const std::vector<double> xs = Range(300.0, 330.0, m->n0 == 2 ? 121 : 61);
    ContinuationOptions o;
    o.block = 16;
    const Curve one = TrackCurve(*m, xs, o);
    if (m->n0 == 2) {
      EXPECT_EQ(one.jumps.size(), 1u);
    }
    for (const int threads : {2, 3, 8}) {
      o.threads = threads;
      EXPECT_TRUE(SameCurve(one, TrackCurve(*m, xs, o))) << m->n0 << " at " << threads;
    }
  }
}

TEST(Continuation, FollowsTheBranchesWithoutGlobalSearchesInsideABlock) {
  // One continuous transition: one branch, a global search at either end
  // only, and a few Newton steps per point.
  const Model m = Lipid(2, -240.0, 314.0, 2200.0);
  const Curve c = TrackCurve(m, Range(290.0, 340.0, 101));
  EXPECT_EQ(c.global_searches, 2);
  EXPECT_EQ(c.branches, 1);
  EXPECT_TRUE(c.jumps.empty());
  int steps = 0;
  for (const CurvePoint& p : c.points) {
    EXPECT_EQ(p.branch, 0);
    EXPECT_GT(p.Cp, 0.0);
    if (!p.global) steps += p.iterations;
  }
  EXPECT_LE(steps, 4 * 99);
}

TEST(Continuation, RejectsUnsortedSweepsAndReportsNoMinimumForAnUndefinedVariant) {
  const Model m = Lipid(2, -240.0, 314.0, 2200.0);
  EXPECT_THROW(TrackCurve(m, {300.0, 299.0}), std::invalid_argument);
  EXPECT_TRUE(TrackCurve(m, {}).points.empty());
  Model three = m;
  three.n0 = 3;
  const Curve c = TrackCurve(three, {300.0, 301.0});
  ASSERT_EQ(c.points.size(), 2u);
  EXPECT_FALSE(c.points[0].ok);
  EXPECT_EQ(c.points[1].F, kSentinel);
}

TEST(Continuation, TheLigandActivityModeSearchesEveryPoint) {
  // Its states are zeros of a vector field, not minima: nothing to follow.
  Model m = Lipid(2, -100.0, 314.0, 2200.0);
  m.para.mode = kAltMode, m.para.dH2 = 30, m.para.conc = 0.2, m.para.conc2 = 0.4;
  m.para.z = 1, m.para.nu = 1;
  const Curve c = TrackCurve(m, Range(300.0, 330.0, 4));
  EXPECT_EQ(c.global_searches, 4);
  for (const CurvePoint& p : c.points) {
    EXPECT_TRUE(p.global);
    EXPECT_TRUE(p.ok);
    double g = 0.0;
    ASSERT_TRUE(GlobalAt(m, p.x, g));
    EXPECT_EQ(p.F, g);
  }
  EXPECT_TRUE(c.jumps.empty());
}

TEST(Continuation, AnEnthalpySweepFollowsTheSameMinima) {
  // Along dH at fixed T the pair model jumps once, at dH = T dS - 3w.
  Model m = Lipid(2, -300.0, 314.0, 2200.0);
  m.T = 300.0;
  const double exact = m.T * m.para.dS - 3.0 * m.para.w;
  ContinuationOptions o;
  o.var = SweepVar::kEnthalpy;
  const Curve c = TrackCurve(m, Range(exact - 100.0, exact + 100.0, 41), o);
  ASSERT_EQ(c.jumps.size(), 1u);
  EXPECT_NEAR(c.jumps[0].x, exact, 1e-9 * exact);
  EXPECT_GT(c.points.front().p[1], 0.5);  // fluid where melting costs little
  EXPECT_LT(c.points.back().p[1], 0.5);
}

}  // namespace
}  // namespace chainmelt
