// The variants as units: the dispatchers of model.hpp hand every request to
// the members of the variant of the model, and what a variant declares about
// itself (its number of variables, its column names, its starts) holds.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "../bench/variants.hpp"
#include "model/free_grad.hpp"
#include "model/model.hpp"
#include "model_util.hpp"
#include "model/variants.hpp"

namespace chainmelt {
namespace {

using testing::Bits;

// Runs fn(V{}, model, point) for each variant with the benchmark's model and
// feasible point of that variant.
template <class Fn>
void ForEachVariant(Fn fn) {
  for (const bench::Variant& v : bench::Variants()) {
    const Model& m = v.model;
    SCOPED_TRACE(v.name);
    const bool found = Dispatch(
        m,
        [&](auto var) {
          fn(var, m, v.point);
          return true;
        },
        [] { return false; });
    EXPECT_TRUE(found);
  }
}

TEST(Variants, DispatchersAgreeWithTheMembersOfTheVariant) {
  ForEachVariant([](auto var, const Model& m, const StateVec& p) {
    using V = decltype(var);
    const int n = m.n0;
    EXPECT_EQ(V::kVars, n);
    EXPECT_TRUE(V::Feasible(m, p));
    EXPECT_TRUE(Check(m, p, n));
    EXPECT_EQ(Bits(V::Free(m, p)), Bits(FreeCalc(m, p)));
    StateVec g1, g2, g3;
    double F = 0.0;
    ASSERT_TRUE(V::Gradient(m, p, g1));
    ASSERT_TRUE(V::FreeGradient(m, p, g2, F));
    const double F3 = FreeDerCalc(m, p, g3);
    DerCalc(m, p, g2);
    EXPECT_EQ(Bits(F), Bits(F3));
    for (int i = 1; i <= n; ++i) {
      EXPECT_EQ(Bits(g1[i]), Bits(g2[i])) << i;
      EXPECT_EQ(Bits(g1[i]), Bits(g3[i])) << i;
    }
    Matrix h1(1, n, 1, n), h2(1, n, 1, n);
    const bool has = V::Hessian(m, p, h1);
    HesseCalc(m, p, n, h2);
    for (int i = 1; i <= n && has; ++i)
      for (int j = 1; j <= n; ++j) {
        EXPECT_EQ(Bits(h1[i][j]), Bits(h2[i][j])) << i << "," << j;
        EXPECT_EQ(Bits(h1[i][j]), Bits(h1[j][i])) << i << "," << j;
      }
    EXPECT_EQ(Bits(V::Heat(m, h1)), Bits(HeatCalc(m, n, h1)));
    EXPECT_EQ(Bits(V::FluidShare(m, p)), Bits(FluidShare(m, p)));
    EXPECT_EQ(Bits(V::FluidChains(m, p)), Bits(FluidChains(m, p)));
    EXPECT_EQ(V::kHessian, HasHessian(m));
    EXPECT_TRUE(has || !V::kHessian);
    // Every variant says what makes its fluid-rich starts feasible, naming
    // at least one field in braces.
    const char* advice = V::StartAdvice(StartKind::kFluidRich);
    ASSERT_NE(advice, nullptr);
    EXPECT_NE(std::string(advice).find('{'), std::string::npos);
    EXPECT_EQ(StateNames(n, IsAltMode(m.para)).size(), static_cast<std::size_t>(n));

    // The random starts draw the same numbers through either door.
    std::int32_t a = 77, b = 77;
    StateVec s1, s2;
    V::BoxStart(m, s1, &a);
    Init(m, s2, n, &b);
    EXPECT_EQ(a, b);
    V::PhaseStart(m, s1, 0.3, &a);
    InitLipidPhase(m, s2, n, 0.3, &b);
    EXPECT_EQ(a, b);
    for (int i = 1; i <= n; ++i) EXPECT_EQ(Bits(s1[i]), Bits(s2[i])) << i;

    // Every fixed start of the equilibrium grid is feasible.
    StateVec grid[kMaxGridStarts];
    const int count = GridStarts(m, grid);
    EXPECT_EQ(count, V::GridStarts(m, grid));
    for (int k = 0; k < count; ++k) EXPECT_TRUE(Check(m, grid[k], n)) << "start " << k;
  });
}

TEST(Variants, NoVariantMeansNoStateAndTheSentinel) {
  Model m;
  m.n0 = 3;
  m.T = 1.0;
  StateVec p, g;
  p[1] = 0.3;
  g[1] = g[2] = g[3] = 5.0;
  EXPECT_FALSE(Check(m, p, 3));
  EXPECT_EQ(FreeCalc(m, p), kSentinel);
  EXPECT_EQ(FreeDerCalc(m, p, g), kSentinel);
  EXPECT_EQ(g[3], 0.0);
  EXPECT_TRUE(StateNames(3, false).empty());
  // The ligand-activity mode exists for n0 = 2 alone.
  m.para.mode = kAltMode;
  m.n0 = 1;
  EXPECT_FALSE(Check(m, p, 1));
  EXPECT_EQ(ThetaCalc(m, p), kSentinel);
  EXPECT_EQ((std::vector<std::string>{"x_f", "a"}), StateNames(2, true));
}

}  // namespace
}  // namespace chainmelt
