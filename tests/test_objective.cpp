#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "model/free_grad.hpp"
#include "model/model.hpp"
#include "numeric/minimize.hpp"
#include "search/objective.hpp"

namespace chainmelt {
namespace {

std::uint64_t Bits(double v) {
  std::uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

Model Variant(int n0, bool alt) {
  Model m;
  m.n0 = n0;
  m.T = 3.0;
  Para& P = m.para;
  P.w = -1.2, P.w2 = 0.3, P.w3 = 0.1, P.e2 = 0.2, P.dH = 10.0, P.dS = 3.3;
  P.dH2 = 1.0, P.dS2 = 0.5, P.conc = 0.2, P.conc2 = 0.3, P.z = 0.8, P.nu = 3;
  if (alt) P.mode = kAltMode;
  return m;
}

// Counts what the minimiser asks of the free energy.
struct Counting {
  static constexpr bool kDeterministic = true;
  FreeEnergyObjective inner;
  int values = 0, gradients = 0, both = 0;
  double Evaluate(const StateVec& p) { return ++values, inner.Evaluate(p); }
  void Gradient(const StateVec& p, StateVec& g) { ++gradients, inner.Gradient(p, g); }
  double EvaluateWithGradient(const StateVec& p, StateVec& g) {
    return ++both, inner.EvaluateWithGradient(p, g);
  }
};

// The objective with combined evaluations and reuse of bit-identical points
// ends every minimisation exactly where value and gradient functions called
// one at a time end it: same point, value and iteration count, to the bit.
TEST(Objective, MinimisationIsBitIdenticalToSeparateFunctions) {
  struct Kind {
    int n0;
    bool alt;
  };
  for (Kind k : {Kind{1, false}, Kind{2, false}, Kind{4, false}, Kind{5, false},
                 Kind{8, false}, Kind{2, true}}) {
    const Model m = Variant(k.n0, k.alt);
    auto f = [&m](const StateVec& q) { return FreeCalc(m, q); };
    auto df = [&m](const StateVec& q, StateVec& g) { DerCalc(m, q, g); };
    std::int32_t idum = 4711;
    int runs = 0, calls_separate = 0, calls_combined = 0;
    for (int draw = 0; draw < 400 && runs < 12; ++draw) {
      StateVec start;
      Init(m, start, m.n0, &idum);
      if (!Check(m, start, m.n0)) continue;
      ++runs;
      StateVec p1 = start, p2 = start;
      int it1 = 0, it2 = 0;
      double f1 = 0.0, f2 = 0.0;
      int counted = 0;
      auto fc = [&](const StateVec& q) { return ++counted, f(q); };
      auto dfc = [&](const StateVec& q, StateVec& g) { ++counted, df(q, g); };
      frprmn(p1, m.n0, 1e-15, it1, f1, fc, dfc);
      Counting obj{FreeEnergyObjective(m)};
      frprmn(p2, m.n0, 1e-15, it2, f2, obj);
      ASSERT_EQ(it1, it2) << k.n0 << (k.alt ? " alt" : "") << " run " << runs;
      ASSERT_EQ(Bits(f1), Bits(f2)) << k.n0;
      for (int j = 1; j <= m.n0; ++j) ASSERT_EQ(Bits(p1[j]), Bits(p2[j])) << k.n0 << " p" << j;
      EXPECT_EQ(obj.gradients, 0);  // the gradient always comes with the value
      calls_separate += counted;
      calls_combined += obj.values + obj.both;
    }
    EXPECT_EQ(runs, 12) << k.n0;
    // Each point's value and gradient in one call, known points not asked again.
    EXPECT_LT(3 * calls_combined, 2 * calls_separate) << k.n0;
  }
}

TEST(Objective, WallOutsideTheRegionAndFreeEnergyInside) {
  const Model m = Variant(2, false);
  WalledFreeEnergyObjective walled(m);
  const double inf = std::numeric_limits<double>::infinity();
  StateVec out, in, g, h;
  out[1] = 0.5, out[2] = 0.6;  // y(f,g) < 0
  in[1] = 0.5, in[2] = 0.3;
  g[1] = g[2] = 9.0;
  EXPECT_EQ(walled.Evaluate(out), inf);
  EXPECT_EQ(walled.EvaluateWithGradient(out, g), inf);
  EXPECT_EQ(g[1], 0.0);
  EXPECT_EQ(g[2], 0.0);
  EXPECT_EQ(walled.Evaluate(in), FreeCalc(m, in));
  EXPECT_EQ(walled.EvaluateWithGradient(in, g), FreeDerCalc(m, in, h));
  EXPECT_EQ(g[1], h[1]);
  EXPECT_EQ(g[2], h[2]);
}

}  // namespace
}  // namespace chainmelt
