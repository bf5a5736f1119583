// The equilibrium search, the robust coexistence search and the critical
// point, against what the pair model of one lipid gives exactly: gel-fluid
// symmetry puts coexistence at dH = T dS - 3w and the critical point at
// T = -w / (2 ln 1.5), at every energy scale.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "model/model.hpp"
#include "search/equilibrium.hpp"
#include "search/search.hpp"
#include "run_state_util.hpp"
#include "model_util.hpp"

namespace chainmelt {
namespace {

using testing::State;
using testing::ScanMinimum;
using testing::Tc;

// One lipid in the pair model with dH, dS derived from Tm and dHcal.
RunState Pair(double T, double w, double Tm, double dHcal) {
  RunState rs = State(2, T);
  rs.para.w = w;
  rs.para.dH = dHcal - 3.0 * w;
  rs.para.dS = dHcal / Tm;
  rs.para.conc = 0.21;
  return rs;
}

// Kelvin-scale mixtures whose coexistence ends near 325 K (n0 = 4) and 365 K
// (n0 = 8).
RunState Mixture4(double T) {
  RunState rs = Pair(T, -300.0, 314.0, 2165.0);
  rs.n0 = 4;
  rs.para.conc = 0.1;
  return rs;
}
RunState Mixture8(double T) {
  RunState rs = Pair(T, -300.0, 314.0, 2165.0);
  rs.n0 = 8;
  rs.para.conc2 = 0.3, rs.para.dH2 = -300.0, rs.para.dS2 = -0.9;
  return rs;
}

TEST(EquilibriumSearch, PairModelJumpsOnceAtTheSymmetricPoint) {
  // The README's example at steps of 0.01 K: gel below T* = (dH + 3w)/dS,
  // fluid above, one jump, and the generator never touched.
  RunState rs = Pair(313.0, -300.0, 314.0, 2165.0);
  const double Tstar = (rs.para.dH + 3.0 * rs.para.w) / rs.para.dS;
  const std::int32_t idum = rs.idum;
  int jumps = 0;
  double last = -1.0;
  for (double T = 313.0; T <= 316.0; T += 0.01) {
    rs.T = T;
    const EquilibriumResult r = StepOrderEquilibrium(rs);
    const double x = r.lowest.p[1];
    if (std::fabs(T - Tstar) > 1e-9) {
      EXPECT_EQ(x > 0.5, T > Tstar) << "T = " << T;
    }
    EXPECT_EQ(r.branch == Branch::kFluidRich, x > 0.5) << "T = " << T;
    EXPECT_EQ(r.minima, 2) << "T = " << T;
    if (last >= 0.0 && (last > 0.5) != (x > 0.5)) ++jumps;
    last = x;
  }
  EXPECT_EQ(jumps, 1);
  EXPECT_EQ(rs.idum, idum);
}

TEST(EquilibriumSearch, IsTheLowestMinimumOfADenseScanAtBothScales) {
  struct Point {
    double T, w, dS, dH;
  };
  const double kS = 2165.0 / 314.0;
  const Point points[] = {
      // kelvin scale, around the README's example and the heat case w = -280
      {305.0, -300.0, kS, 3065.0}, {313.9, -300.0, kS, 3065.0}, {314.1, -300.0, kS, 3065.0},
      {314.7, -300.0, kS, 3065.0}, {315.0, -280.0, kS, 3005.0}, {330.0, -300.0, kS, 3065.0},
      // order-1 scale: coexistence at dH = 3 * 8 + 12 = 36
      {3.0, -4.0, 8.0, 35.95}, {3.0, -4.0, 8.0, 36.05}, {3.0, -4.0, 8.0, 30.0}, {5.5, -4.0, 8.0, 56.0}};
  for (const Point& pt : points) {
    RunState rs = State(2, pt.T);
    rs.para.w = pt.w, rs.para.dS = pt.dS, rs.para.dH = pt.dH;
    const Minimum eq = StepOrderEquilibrium(rs).lowest;
    double x_scan = 0.0;
    const double scan = ScanMinimum(rs, &x_scan);
    // No point of the scan lies below the state found, and the scan's lowest
    // point lies next to it.
    EXPECT_LE(eq.f, scan + 1e-12 * std::fabs(scan)) << "T " << pt.T << " dH " << pt.dH;
    EXPECT_NEAR(eq.p[1], x_scan, 2e-3) << "T " << pt.T << " dH " << pt.dH;
  }
}

// Every variant, with a case each where the old families may disagree.
RunState Variant(int n0) {
  if (n0 == 4) return Mixture4(310.0);
  if (n0 == 8) {
    RunState rs = Mixture8(330.0);
    rs.para.conc = 0.5;  // where the default fluid-rich starts are feasible
    return rs;
  }
  RunState rs = State(n0, 3.0);
  Para& q = rs.para;
  q.w = -4.0, q.dS = 8.0, q.dH = 36.0, q.conc = 0.21;
  if (n0 == 1) q.w = -16.0, q.dH = 26.0, q.z = 0.5, q.nu = 2, q.dH2 = 1.0, q.dS2 = 0.2;
  if (n0 == 5) q.dH = 30.0, q.e2 = 1.0, q.w2 = 0.5, q.w3 = 0.2;
  return rs;
}

TEST(EquilibriumSearch, EveryVariantEndsStationaryNoHigherThanTheFamiliesAndRepeats) {
  for (int n0 : {1, 2, 4, 5, 8}) {
    RunState rs = Variant(n0);
    const std::int32_t idum = rs.idum;
    const EquilibriumResult r = StepOrderEquilibrium(rs);
    EXPECT_EQ(rs.idum, idum) << n0;
    ASSERT_GE(r.minima, 1) << n0;
    const Minimum& eq = r.lowest;
    ASSERT_TRUE(Check(rs, eq.p, n0)) << n0;
    EXPECT_EQ(eq.f, FreeCalc(rs, eq.p)) << n0;
    EXPECT_LE(eq.f, r.gel.f) << n0;
    EXPECT_LE(eq.f, r.fluid.f) << n0;
    // The lowest is one of the distinct minima, and none of them is lower.
    bool listed = false;
    for (int j = 0; j < r.minima; ++j) {
      EXPECT_LE(eq.f, r.distinct[j].f) << n0;
      listed = listed || std::memcmp(&r.distinct[j].p[1], &eq.p[1], sizeof(double) * n0) == 0;
    }
    EXPECT_TRUE(listed) << n0;
    StateVec g;
    DerCalc(rs, eq.p, g);
    for (int i = 1; i <= n0; ++i) EXPECT_LT(std::fabs(g[i]), 1e-6 * rs.T) << n0 << " g" << i;

    RunState again = Variant(n0);
    const Minimum eq2 = StepOrderEquilibrium(again).lowest;
    EXPECT_EQ(std::memcmp(&eq2.p[1], &eq.p[1], sizeof(double) * n0), 0) << n0;

    const FamilyMinima fam = StepOrderDiscont(again);  // the default search is never lower
    EXPECT_LE(eq.f, std::fmin(fam.gel.f, fam.fluid.f) + 1e-9 * std::fabs(eq.f)) << n0;
  }
  // The ligand-activity mode: a zero of its (designed) gradient vector.
  RunState rs = State(2, 300.0);
  Para& q = rs.para;
  q.mode = kAltMode, q.w = -300.0, q.dH = 3065.0, q.dS = 2165.0 / 314.0;
  q.conc2 = 0.3, q.dH2 = 30.0, q.nu = 2;
  // ... and a strongly cooperative membrane far below its transition, whose
  // state lies within 1e-4 of the gel end (the even scan of the fluid
  // fraction found nothing there).
  RunState deep = State(2, 300.0);
  deep.para.mode = kAltMode, deep.para.w = -1000.0, deep.para.dH = 5200.0;
  deep.para.dS = 2200.0 / 314.0, deep.para.conc2 = 0.4, deep.para.dH2 = 30.0, deep.para.nu = 1;
  for (RunState* s : {&rs, &deep}) {
    const EquilibriumResult r = StepOrderEquilibrium(*s);
    ASSERT_GE(r.minima, 1);
    ASSERT_TRUE(Check(*s, r.lowest.p, 2));
    StateVec g;
    DerCalc(*s, r.lowest.p, g);
    EXPECT_LT(std::fabs(g[1]), 1e-8 * s->T);
    EXPECT_LT(std::fabs(g[2]), 1e-12);
  }
  EXPECT_LT(StepOrderEquilibrium(deep).lowest.p[1], 1e-4);
}

TEST(EquilibriumEnergy, IsFMinusTdFdTAtTheState) {
  for (int n0 : {1, 2, 4, 5, 8, 42}) {
    RunState rs = Variant(n0 == 42 ? 2 : n0);
    if (n0 == 42) {
      Para& q = rs.para;
      q.mode = kAltMode, q.conc2 = 0.3, q.dH2 = 1.0, q.dS2 = 0.2, q.nu = 2;
    }
    const int n = rs.n0;
    const EquilibriumResult r = StepOrderEquilibrium(rs);
    const double h = 1e-4 * rs.T;
    Model up = rs, down = rs;
    up.T += h, down.T -= h;
    const StateVec& p = r.lowest.p;
    const double dFdT = (FreeCalc(up, p) - FreeCalc(down, p)) / (2.0 * h);
    const double U = r.lowest.f - rs.T * dFdT;
    EXPECT_NEAR(r.U, U, 1e-6 * (std::fabs(U) + rs.T)) << n0;
    EXPECT_EQ(r.U, EquilibriumEnergy(rs, p)) << n;
  }
}

TEST(CoexistRobust, PairModelMatchesTheExactLineBelowTcAtBothScales) {
  HesseWork work(2);
  struct Scale {
    double w, Tm, dHcal, Tlo;
  };
  for (const Scale& s : {Scale{-300.0, 314.0, 2165.0, 200.0}, Scale{-4.0, 3.0, 24.0, 1.0}}) {
    const double tc = Tc(s.w);
    for (double f : {0.0, 0.25, 0.5, 0.75, 0.9, 0.99, 0.999}) {
      const double T = s.Tlo + f * (tc - s.Tlo);
      RunState rs = Pair(T, s.w, s.Tm, s.dHcal);
      const CoexistOutcome c = CoexistRobust(rs, work);
      const double exact = T * rs.para.dS - 3.0 * s.w;
      ASSERT_TRUE(c.found) << "T " << T << ": " << CoexistReason(c.status);
      EXPECT_NEAR(c.dH, exact, 1e-8 * exact) << "T " << T;
      EXPECT_EQ(rs.para.dH, c.dH);
      EXPECT_LE(std::fabs(c.phases.gel.f - c.phases.fluid.f), c.gap_tol);
      EXPECT_LT(c.phases.gel.p[1], 0.5);
      EXPECT_GT(c.phases.fluid.p[1], 0.5);
    }
    RunState above = Pair(1.01 * tc, s.w, s.Tm, s.dHcal);
    const CoexistOutcome c = CoexistRobust(above, work);
    EXPECT_FALSE(c.found);
    EXPECT_EQ(c.status, CoexistStatus::kSinglePhase);
  }
  RunState cold = Pair(0.0, -300.0, 314.0, 2165.0);
  EXPECT_EQ(CoexistRobust(cold, work).status, CoexistStatus::kBadTemperature);
}

TEST(CoexistRobust, MixturesHaveRecordsBelowTheirEndAtTheKelvinScale) {
  for (int n0 : {4, 8}) {
    for (double T : {300.0, 315.0}) {
      RunState rs = n0 == 4 ? Mixture4(T) : Mixture8(T);
      HesseWork work(n0);
      const CoexistOutcome c = CoexistRobust(rs, work);
      ASSERT_TRUE(c.found) << n0 << " T " << T << ": " << CoexistReason(c.status);
      const Minimum& gel = c.phases.gel;
      const Minimum& fluid = c.phases.fluid;
      EXPECT_GT(FluidShare(rs, fluid.p) - FluidShare(rs, gel.p), 0.1) << n0;
      EXPECT_LE(std::fabs(gel.f - fluid.f), c.gap_tol) << n0;
      EXPECT_LT(c.gap_tol, 1e-9 * std::fabs(c.dH)) << n0;
    }
  }
}

TEST(CritRobust, PairModelCriticalPointFromStarts15PercentAwayAtBothScales) {
  HesseWork work(2);
  for (double w : {-250.0, -4.0}) {
    const double dS = w == -4.0 ? 8.0 : 10.0;
    const double tc = Tc(w), dhc = tc * dS - 3.0 * w;
    for (double f : {0.85, 1.15}) {
      RunState rs = State(2, f * tc);
      rs.para.w = w, rs.para.dS = dS, rs.para.dH = dhc;
      const CritOutcome c = CritRobust(rs, work);
      ASSERT_TRUE(c.found) << "w " << w << " start " << f << ": " << CritReason(c.status);
      EXPECT_NEAR(c.T, tc, 1e-3 * tc) << "w " << w << " start " << f;
      EXPECT_NEAR(c.dH, dhc, 1e-3 * dhc) << "w " << w << " start " << f;
      EXPECT_LE(c.rel_width, c.tol);
      EXPECT_EQ(rs.T, c.T);
      EXPECT_EQ(rs.para.dH, c.dH);
      EXPECT_TRUE(std::isfinite(c.det));
      EXPECT_EQ(c.state.f, FreeCalc(rs, c.state.p));
    }
  }
  RunState rs = State(2, -1.0);
  EXPECT_EQ(CritRobust(rs, work).status, CritStatus::kBadStart);
}

}  // namespace
}  // namespace chainmelt
