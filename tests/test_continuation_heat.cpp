// Latent heats, the area rule, coexistence and the critical point on the
// continuation, against what the pair model gives exactly (gel-fluid symmetry
// puts the transition at dH = T dS - 3w and the critical point at
// T = -w / (2 ln 1.5)) and against independent global searches.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "model/model.hpp"
#include "search/continuation.hpp"
#include "search/equilibrium.hpp"
#include "model_util.hpp"

namespace chainmelt {
namespace {

using testing::Lipid;
using testing::Mixture5;
using testing::Tc;

std::vector<double> Steps(double lo, double hi, double step) {
  std::vector<double> xs;
  const int n = static_cast<int>(std::lround((hi - lo) / step));
  for (int i = 0; i <= n; ++i) xs.push_back(lo + step * i);
  return xs;
}

// The equilibrium fluid share by the global search at (T, dH).
double GlobalShare(Model m, double T, double dH) {
  RunState rs;
  static_cast<Model&>(rs) = m;
  rs.T = T;
  rs.para.dH = dH;
  return StepOrderEquilibrium(rs).share;
}

TEST(ContinuationHeat, AreaRuleOnFineSweepsOfEveryVariantAndBothScales) {
  struct Case {
    Model m;
    double lo, hi, step;
    int jumps;
  };
  Model n4 = Lipid(4, -400.0, 314.0, 2165.0);
  n4.para.conc = 0.1, n4.para.w2 = -50, n4.para.w3 = 30;
  Model n8 = Lipid(8, -220.0, 314.0, 2200.0);
  n8.para.conc2 = 0.5, n8.para.dH2 = -700, n8.para.dS2 = -1.956;
  Model ligand = Lipid(1, -16.0, 3.0, 24.0);
  ligand.para.z = 0.5, ligand.para.nu = 2, ligand.para.dH2 = 1.0, ligand.para.dS2 = 0.2;
  Model n8small = Lipid(8, -2.0, 3.0, 24.0);
  n8small.para.conc2 = 0.3, n8small.para.dH2 = -6, n8small.para.dS2 = -1.5;
  const Case cases[] = {
      {Lipid(2, -300.0, 314.0, 2200.0), 300.0, 330.0, 0.0625, 1},  // first order
      {Lipid(2, -240.0, 314.0, 2200.0), 300.0, 330.0, 0.0625, 0},  // continuous
      {Lipid(2, -4.0, 3.0, 24.0), 2.7, 3.3, 0.001, 1},
      {Lipid(1, -1600.0, 314.0, 2200.0), 300.0, 330.0, 0.0625, 1},
      {ligand, 2.7, 3.3, 0.001, 1},
      {n4, 300.0, 350.0, 0.0625, 1},
      {Mixture5(-300, 3500, 11), 260.0, 320.0, 0.0625, 0},
      {n8, 270.0, 340.0, 0.0625, 0},
      {n8small, 2.5, 3.5, 0.001, -1},
  };
  for (const Case& k : cases) {
    const Curve c = TrackCurve(k.m, Steps(k.lo, k.hi, k.step));
    if (k.jumps >= 0) {
      EXPECT_EQ(static_cast<int>(c.jumps.size()), k.jumps) << k.m.n0 << " w " << k.m.para.w;
    }
    EXPECT_EQ(c.unresolved, 0) << k.m.n0 << " w " << k.m.para.w;
    const double dU = c.points.back().U - c.points.front().U;
    EXPECT_NEAR(IntegratedEnergy(c), dU, 1e-4 * std::fabs(dU)) << k.m.n0 << " w " << k.m.para.w;
    if (k.m.n0 == 1 && k.m.para.z == 0 && !c.jumps.empty()) {
      // Mean field with a jump: the heat capacity of either phase stays
      // finite at the crossing (no second difference across it), so the
      // area rule holds with the latent heat added once.
      double cmax = 0.0;
      for (const CurvePoint& p : c.points) cmax = std::fmax(cmax, p.Cp);
      EXPECT_LT(cmax * k.step, 0.01 * c.jumps[0].latent);
    }
    for (const Jump& j : c.jumps) {
      // Equal free energies of two distinct states at the crossing, and the
      // jump goes up in energy as T rises.
      EXPECT_GT(j.latent, 0.0) << k.m.n0;
      EXPECT_GT(std::fabs(j.p_from[1] - j.p_to[1]), 1e-3) << k.m.n0;
    }
  }
}

TEST(ContinuationHeat, LatentHeatAtTheExactCrossingOfThePairModel) {
  for (const double w : {-300.0, -4.0}) {
    const double Tm = w == -4.0 ? 3.0 : 314.0, dHcal = w == -4.0 ? 24.0 : 2200.0;
    const Model m = Lipid(2, w, Tm, dHcal);
    // Coarse on purpose: the crossing does not depend on the sweep's points.
    for (const double step : {Tm / 300.0, Tm / 17.0}) {
      const Curve c = TrackCurve(m, Steps(0.9 * Tm, 1.1 * Tm, step));
      ASSERT_EQ(c.jumps.size(), 1u) << w << " step " << step;
      const Jump& j = c.jumps[0];
      EXPECT_NEAR(j.x, Tm, 1e-9 * Tm);
      // By the symmetry the two phases mirror each other: x_fluid = 1 - x_gel
      // and U_fluid - U_gel = (dH + 3w) (x_fluid - x_gel).
      EXPECT_NEAR(j.p_to[1], 1.0 - j.p_from[1], 1e-7);
      EXPECT_NEAR(j.latent, dHcal * (j.p_to[1] - j.p_from[1]), 1e-6 * dHcal);
      EXPECT_NEAR(j.U_to - j.U_from, j.latent, 0.0);
    }
  }
}

TEST(ContinuationHeat, NoLatentHeatWhereTheStateIsContinuous) {
  // The mixture: one minimum over 279-282 K, no transition lines;
  // n0 = 1 above its critical temperature likewise.
  const Curve five = TrackCurve(Mixture5(-300, 3500, 11), Steps(279.0, 282.0, 0.25));
  EXPECT_TRUE(five.jumps.empty());
  for (const CurvePoint& p : five.points) EXPECT_EQ(p.branch, five.points[0].branch);
  const Curve one = TrackCurve(Lipid(1, -800.0, 314.0, 2200.0), Steps(300.0, 330.0, 0.25));
  EXPECT_TRUE(one.jumps.empty());
  for (const CurvePoint& p : one.points) EXPECT_GT(p.Cp, 0.0);
}

TEST(ContinuationCoexist, PairModelOnTheExactLineAndSinglePhaseAboveTcAtBothScales) {
  for (const double w : {-300.0, -4.0}) {
    const double dS = w == -4.0 ? 8.0 : 2165.0 / 314.0;
    Model m = Lipid(2, w, 1.0, 1.0);
    m.para.dS = dS;
    const double tc = Tc(w);
    for (const double f : {0.5, 0.9, 0.99, 0.999}) {
      m.T = f * tc;
      const TrackedCoexist c = CoexistTracked(m);
      ASSERT_EQ(c.status, TrackedCoexistStatus::kFound) << w << " at " << f;
      const double exact = m.T * dS - 3.0 * w;
      EXPECT_NEAR(c.dH, exact, 1e-8 * exact) << w << " at " << f;
      EXPECT_LT(c.gel[1], 0.5);
      EXPECT_GT(c.fluid[1], 0.5);
    }
    m.T = 1.01 * tc;
    EXPECT_EQ(CoexistTracked(m).status, TrackedCoexistStatus::kSinglePhase);
    for (const double f : {0.85, 1.15}) {
      m.T = f * tc;
      const TrackedCrit k = CritTracked(m);
      ASSERT_TRUE(k.found) << w << " from " << f;
      EXPECT_NEAR(k.T, tc, 1e-5 * tc) << w << " from " << f;
      EXPECT_NEAR(k.dH, k.T * dS - 3.0 * w, 1e-4 * std::fabs(k.dH));
    }
  }
  Model cold = Lipid(2, -300.0, 314.0, 2200.0);
  EXPECT_EQ(CoexistTracked(cold).status, TrackedCoexistStatus::kBadTemperature);
}

TEST(ContinuationCoexist, MeanFieldOnItsExactLineAndCriticalPoint) {
  // n0 = 1 without ligands is symmetric about x = 1/2 where dH - T dS = -w/2:
  // coexistence at dH = T dS - w/2 up to T_c = -w/4.  One variable: a
  // minimum that slides past its spinodal meets no saddle on the way.
  Model m = Lipid(1, -1600.0, 1.0, 1.0);
  m.para.dS = 7.0;
  for (const double T : {200.0, 390.0, 399.0, 399.9}) {
    m.T = T;
    const TrackedCoexist c = CoexistTracked(m);
    ASSERT_EQ(c.status, TrackedCoexistStatus::kFound) << T;
    EXPECT_NEAR(c.dH, T * 7.0 + 800.0, 1e-9 * c.dH) << T;
  }
  m.T = 350.0;
  const TrackedCrit k = CritTracked(m);
  ASSERT_TRUE(k.found);
  EXPECT_NEAR(k.T, 400.0, 2e-4 * 400.0);
}

TEST(ContinuationCoexist, MixturesAgainstIndependentGlobalSearchesAcrossTheLine) {
  // The n0 = 5 case: coexistence from 250 K up to its end near
  // 418 K, and the critical point there (not at 291 K).
  const Model five = Mixture5(-250, 3000, 10);
  Model n4 = Lipid(4, -300.0, 314.0, 2165.0);
  n4.para.conc = 0.1;
  Model n8 = Lipid(8, -300.0, 314.0, 2165.0);
  n8.para.conc2 = 0.3, n8.para.dH2 = -300.0, n8.para.dS2 = -0.9;
  struct Case {
    const Model& m;
    std::vector<double> Ts;
  };
  for (const Case& k : {Case{five, {250.0, 280.0, 350.0, 410.0}}, Case{n4, {300.0, 315.0}},
                        Case{n8, {300.0, 315.0}}}) {
    for (const double T : k.Ts) {
      Model m = k.m;
      m.T = T;
      const TrackedCoexist c = CoexistTracked(m);
      ASSERT_EQ(c.status, TrackedCoexistStatus::kFound) << m.n0 << " T " << T;
      // Below the line the global search finds the fluid-rich phase, above
      // it the gel-rich one, from 1e-6 to 1e-2 of dH away.
      Model at = m;
      at.para.dH = c.dH;
      const double mid = 0.5 * (FluidShare(at, c.gel) + FluidShare(at, c.fluid));
      for (const double d : {1e-6, 1e-4, 1e-2}) {
        EXPECT_GT(GlobalShare(m, T, c.dH * (1.0 - d)), mid) << m.n0 << " T " << T << " " << d;
        EXPECT_LT(GlobalShare(m, T, c.dH * (1.0 + d)), mid) << m.n0 << " T " << T << " " << d;
      }
    }
  }
  Model m = five;
  m.T = 280.5;
  const TrackedCrit k = CritTracked(m);
  ASSERT_TRUE(k.found);
  EXPECT_GT(k.T, 410.0);
  EXPECT_LT(k.T, 430.0);
  m.T = 0.999 * k.T;
  EXPECT_EQ(CoexistTracked(m).status, TrackedCoexistStatus::kFound);
  m.T = 1.001 * k.T;
  EXPECT_EQ(CoexistTracked(m).status, TrackedCoexistStatus::kSinglePhase);
}

}  // namespace
}  // namespace chainmelt
