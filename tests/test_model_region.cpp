#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "model/model.hpp"
#include "numeric/ran0.hpp"

namespace chainmelt {
namespace {

StateVec State(std::initializer_list<double> v) {
  StateVec p;
  int i = 1;
  for (double x : v) p[i++] = x;
  return p;
}

std::int32_t Advance(int draws) {
  std::int32_t idum = kSeed;
  for (int i = 0; i < draws; ++i) ran0(&idum);
  return idum;
}

const StateVec kS4 = State({0.25, 0.0625, 0.0625, 0.0625});
const StateVec kS5 = State({0.375, 0.375, 0.25, 0.0625, 0.25});
const StateVec kS8 =
    State({0.375, 0.125, 0.140625, 0.015625, 0.046875, 0.046875, 0.046875, 0.046875});

TEST(Check, FeasibleRegionOfEveryVariant) {
  Model m;
  EXPECT_FALSE(Check(m, State({0.0}), 1));
  EXPECT_FALSE(Check(m, State({1.0}), 1));
  EXPECT_TRUE(Check(m, State({0.5}), 1));
  EXPECT_FALSE(Check(m, State({0.5, 0.0}), 2));     // p2 not > 0
  EXPECT_FALSE(Check(m, State({0.625, 0.25}), 2));  // y(g,g) = 0
  EXPECT_TRUE(Check(m, State({0.5, 0.25}), 2));
  EXPECT_TRUE(Check(m, kS5, 5));
  EXPECT_FALSE(Check(m, State({0.375, 0.375, 0.3125, 0.0625, 0.25}), 5));  // y(f,g) = 0
  EXPECT_FALSE(Check(m, kS4, 4));  // conc = 0: nothing feasible
  EXPECT_FALSE(Check(m, kS8, 8));  // conc2 = 0: nothing feasible
  for (int n : {-1, 0, 3, 6, 7, 9}) EXPECT_FALSE(Check(m, kS8, n)) << n;
  m.para.conc = m.para.conc2 = 0.25;
  EXPECT_TRUE(Check(m, kS4, 4));
  EXPECT_TRUE(Check(m, kS8, 8));

  // A NaN in any component makes the state infeasible.
  const struct {
    int n;
    StateVec p;
  } cases[] = {{1, State({0.5})}, {2, State({0.5, 0.25})}, {4, kS4}, {5, kS5}, {8, kS8}};
  for (const auto& c : cases) {
    for (int i = 1; i <= c.n; ++i) {
      StateVec q = c.p;
      q[i] = std::nan("");
      EXPECT_FALSE(Check(m, q, c.n)) << "n " << c.n << " component " << i;
    }
  }

  // Ligand-activity mode: n = 2 only, 0 < p1 < 1, p2 unbounded.
  m.para.mode = kAltMode;
  EXPECT_TRUE(Check(m, State({0.3, -1000.0}), 2));
  EXPECT_FALSE(Check(m, State({1.0, 0.0}), 2));
  EXPECT_FALSE(Check(m, State({std::nan(""), 0.0}), 2));
  EXPECT_FALSE(Check(m, State({0.5}), 1));
  EXPECT_FALSE(Check(m, kS4, 4));
  m.para.mode = 42.0;  // only 42.1 switches
  EXPECT_TRUE(Check(m, kS4, 4));
}

TEST(Init, FirstStatesFromTheSeed) {
  const double r1 = 0.2430400547, r2 = 0.7741990750, r3 = 0.9638528596;
  Model m;
  std::int32_t idum = kSeed;
  StateVec p;
  Init(m, p, 2, &idum);
  EXPECT_NEAR(p[1], 0.121520027, 1e-9);
  EXPECT_NEAR(p[2], 0.154839815, 1e-9);
  idum = kSeed;
  InitLipidPhase(m, p, 5, 0.2, &idum);
  EXPECT_EQ(p[1], 0.2);
  EXPECT_NEAR(p[2], 0.121520027, 1e-9);
  EXPECT_NEAR(p[3], 0.154839815, 1e-9);

  m.para.conc = m.para.conc2 = 0.25;
  idum = kSeed;
  InitLipidPhase(m, p, 4, 0.4, &idum);  // pairs up to twice random mixing
  EXPECT_NEAR(p[2], 2 * 0.16 * r1, 1e-9);
  EXPECT_NEAR(p[3], 2 * 0.4 * 0.25 * r2, 1e-9);
  EXPECT_NEAR(p[4], 0.0625 * r3, 1e-9);
  idum = kSeed;
  Init(m, p, 8, &idum);
  EXPECT_NEAR(p[1], 0.75 * 0.5 * r1, 1e-9);
  EXPECT_NEAR(p[2], 0.25 * 0.5 * r2, 1e-9);
  EXPECT_NEAR(p[3], 0.75 * 0.2 * r3, 1e-9);
}

TEST(Init, NumberOfDrawsPerVariant) {
  Model m;
  m.para.conc = m.para.conc2 = 0.25;
  const struct {
    int n, init, phase;
  } draws[] = {{1, 1, 0}, {2, 2, 1}, {4, 4, 3}, {5, 5, 4}, {8, 8, 7}, {3, 0, 0}, {6, 0, 0}};
  for (const auto& d : draws) {
    std::int32_t idum = kSeed;
    StateVec p = State({-7, -7, -7, -7, -7, -7, -7, -7});
    Init(m, p, d.n, &idum);
    EXPECT_EQ(idum, Advance(d.init)) << d.n;
    idum = kSeed;
    InitLipidPhase(m, p, d.n, 0.3, &idum);
    EXPECT_EQ(idum, Advance(d.phase)) << d.n;
    if (d.init == 0) {
      EXPECT_EQ(p[1], -7.0) << "no model, vector untouched";
    }
  }

  // Ligand-activity mode: p1 drawn, p2 exactly 0; nothing for other n.
  m.para.mode = kAltMode;
  std::int32_t idum = kSeed;
  StateVec p = State({-7, -7});
  Init(m, p, 2, &idum);
  EXPECT_EQ(idum, Advance(1));
  EXPECT_EQ(p[2], 0.0);
  idum = kSeed;
  Init(m, p, 4, &idum);
  EXPECT_EQ(idum, kSeed);
}

}  // namespace
}  // namespace chainmelt
