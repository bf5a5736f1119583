// Both minima of a first-order transition followed over the sweep: each is
// the equilibrium on its own side, the higher one on the other, and ends at
// its spinodal.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "search/branches.hpp"
#include "search/continuation.hpp"
#include "model_util.hpp"

namespace chainmelt {
namespace {

TEST(JumpMinima, EachMinimumIsTheEquilibriumOnItsSideAndEndsAtItsSpinodal) {
  for (const int n0 : {1, 2, 4, 8}) {
    SCOPED_TRACE(n0);
    Model m = testing::Lipid(n0, n0 == 1 ? -1600.0 : -300.0, 314.0, 2200.0);
    if (n0 == 4) m.para.conc = 0.1;
    if (n0 == 8) m.para.conc2 = 0.3;
    std::vector<double> xs;
    for (double T = 290.0; T <= 340.0; T += 0.25) xs.push_back(T);
    const Curve c = TrackCurve(m, xs);
    ASSERT_GE(c.jumps.size(), 1u);
    const std::vector<JumpMinima> jm = FollowJumpMinima(m, xs, SweepVar::kTemperature, c);
    ASSERT_EQ(jm.size(), c.jumps.size());
    const JumpMinima& j = jm[0];
    const int after = j.jump.after;
    int only_from = 0, only_to = 0;
    for (int i = 0; i < static_cast<int>(xs.size()); ++i) {
      const CurvePoint& p = c.points[i];
      const bool below = i <= after;
      const double Fe = below ? j.F_from[i] : j.F_to[i];
      const double Ue = below ? j.U_from[i] : j.U_to[i];
      if (c.jumps.size() == 1) {
        ASSERT_TRUE(std::isfinite(Fe)) << xs[i];
        EXPECT_NEAR(Fe, p.F, 1e-9 * (1 + std::fabs(p.F))) << xs[i];
        EXPECT_NEAR(Ue, p.U, 1e-6 * (1 + std::fabs(p.U))) << xs[i];
      }
      const double Fo = below ? j.F_to[i] : j.F_from[i];
      if (std::isfinite(Fo)) {
        EXPECT_GT(Fo, Fe - 1e-9 * (1 + std::fabs(Fe))) << xs[i];
      }
      only_from += std::isfinite(j.F_from[i]) && !std::isfinite(j.F_to[i]);
      only_to += std::isfinite(j.F_to[i]) && !std::isfinite(j.F_from[i]);
    }
    // Far from the crossing only one minimum is left, on each side.
    EXPECT_TRUE(std::isnan(j.F_to.front()) && std::isnan(j.F_from.back()));
    EXPECT_GT(only_from, 0);
    EXPECT_GT(only_to, 0);
  }
}

TEST(JumpMinima, NoneOnAContinuousCurve) {
  const Model m = testing::Lipid(2, -100.0, 314.0, 2200.0);
  const std::vector<double> xs = {300.0, 310.0, 314.0, 320.0};
  const Curve c = TrackCurve(m, xs);
  EXPECT_TRUE(c.jumps.empty());
  EXPECT_TRUE(FollowJumpMinima(m, xs, SweepVar::kTemperature, c).empty());
}

}  // namespace
}  // namespace chainmelt
