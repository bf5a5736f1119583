#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "model/model.hpp"
#include "numeric/minimize.hpp"
#include "search/search.hpp"
#include "tasks/tasks.hpp"

namespace chainmelt {
namespace {

RunState State(int n0, double T) {
  RunState rs;
  rs.n0 = n0;
  rs.T = T;
  rs.Allocate();
  return rs;
}

// Where the draws of `count` accepted phase starts at x end, and the first one.
std::int32_t AfterStarts(RunState& rs, double x, int count, StateVec* first = nullptr) {
  for (int k = 0; k < count; ++k) {
    StateVec p;
    do InitLipidPhase(rs, p, rs.n0, x, &rs.idum);
    while (!Check(rs, p, rs.n0));
    if (k == 0 && first) *first = p;
  }
  return rs.idum;
}

TEST(Search, FlatFreeEnergyTiesKeepTheFirstRunWhateverTheRejections) {
  // At T = 0 with no energies every state has free energy 0 and gradient 0,
  // so every run ends where it started and all runs tie.  With conc = 0.25
  // about half of the fluid-rich starts (x = 0.55) are rejected.
  RunState rs = State(2, 0.0);
  rs.para.conc = 0.25;
  RunState replay = rs;
  StateVec gel, fluid;
  AfterStarts(replay, 0.2, 5, &gel);
  const std::int32_t end = AfterStarts(replay, 0.55, 5, &fluid);

  rs.out_ptr = std::tmpfile();
  TaskPhase(rs);
  EXPECT_EQ(rs.idum, end);  // exactly ten accepted draws
  EXPECT_EQ(rs.fret1, 0.0);
  EXPECT_EQ(rs.fret2, 0.0);
  for (int i = 1; i <= 2; ++i) {
    EXPECT_EQ(rs.p1[i], gel[i]);
    EXPECT_EQ(rs.p2[i], fluid[i]);
    EXPECT_EQ(rs.p0[i], fluid[i]);  // a tie goes to the fluid-rich family
  }
  std::fclose(rs.out_ptr);
}

TEST(Search, PositiveEquilibriumFreeEnergyIsReported) {
  // n0 = 4 with a large e2*conc: every minimum lies above 0.
  RunState rs = State(4, 1.0);
  rs.para.conc = 0.3;
  rs.para.e2 = 100.0;
  rs.para.dH = 1.0;
  rs.p1[1] = rs.p2[1] = -7.0;  // stale contents must not survive
  StepOrderDiscont(rs);
  for (const StateVec* p : {&rs.p1, &rs.p2}) {
    EXPECT_TRUE(Check(rs, *p, 4));
    EXPECT_GT(FreeCalc(rs, *p), 0.0);
  }
  EXPECT_EQ(rs.fret1, FreeCalc(rs, rs.p1));
  StepOrderGlobal(rs);
  EXPECT_GT(rs.fret0, 0.0);
  EXPECT_EQ(rs.fret0, FreeCalc(rs, rs.p0));
}

TEST(Search, RunFromAStartAboveTheSentinelAvoidsTheInfeasiblePit) {
  // Kelvin scale: the fluid-rich starts lie hundreds of units above 42.
  RunState rs = State(2, 305.0);
  rs.para.w = -300.0;
  rs.para.dH = 3065.0;
  rs.para.dS = 2165.0 / 314.0;
  rs.para.conc = 0.21;
  auto free_energy = [&rs](const StateVec& q) { return FreeCalc(rs, q); };
  auto gradient = [&rs](const StateVec& q, StateVec& g) { DerCalc(rs, q, g); };
  RunState replay = rs;
  AfterStarts(replay, 0.2, 5);
  int pits = 0;  // unmended fluid-rich runs that end outside the region at 42
  for (int k = 0; k < 5; ++k) {
    StateVec p;
    AfterStarts(replay, 0.8 - rs.para.conc, 1, &p);
    double f = FreeCalc(rs, p);
    ASSERT_GT(f, 100.0);
    int iter = 0;
    frprmn(p, 2, 1e-15, iter, f, free_energy, gradient);
    if (f == kSentinel && !Check(rs, p, 2)) ++pits;
  }
  ASSERT_GE(pits, 3);

  StepOrderDiscont(rs);
  for (const StateVec* p : {&rs.p0, &rs.p1, &rs.p2}) EXPECT_TRUE(Check(rs, *p, 2));
  EXPECT_LT(rs.fret2, 0.0);
  EXPECT_EQ(rs.fret2, FreeCalc(rs, rs.p2));
  EXPECT_EQ(rs.fret0, FreeCalc(rs, rs.p0));
}

TEST(Search, RunThatStaysFeasibleIsUntouched) {
  RunState rs = State(2, 1.0);
  rs.para.w = -1.0;
  rs.para.dH = 3.0;
  rs.para.dS = 2.5;
  RunState replay = rs;
  StateVec p;
  do Init(replay, p, 2, &replay.idum);
  while (!Check(replay, p, 2));
  auto free_energy = [&replay](const StateVec& q) { return FreeCalc(replay, q); };
  auto gradient = [&replay](const StateVec& q, StateVec& g) { DerCalc(replay, q, g); };
  double f = FreeCalc(replay, p);
  int iter = 0;
  frprmn(p, 2, 1e-15, iter, f, free_energy, gradient);

  StepOrderCont(rs);
  EXPECT_EQ(rs.p0[1], p[1]);
  EXPECT_EQ(rs.p0[2], p[2]);
  EXPECT_EQ(rs.fret0, f);
  EXPECT_EQ(rs.iter, iter);
}

TEST(Search, MinimaOfEveryVariantAreStationary) {
  for (int n0 : {1, 2, 4, 5, 8}) {
    RunState rs = State(n0, 1.0);
    rs.para.w = -0.5;
    rs.para.w2 = 0.3;
    rs.para.w3 = 0.2;
    rs.para.e2 = 0.5;
    rs.para.dH = 2.0;
    rs.para.dS = 2.0;
    rs.para.dH2 = 0.5;
    rs.para.dS2 = 0.2;
    rs.para.conc = 0.3;
    rs.para.conc2 = 0.4;
    RunState replay = rs;  // the gradient at the start sets the scale
    StateVec start, g;
    do Init(replay, start, n0, &replay.idum);
    while (!Check(replay, start, n0));
    DerCalc(rs, start, g);
    double scale = 0.0;
    for (int i = 1; i <= n0; ++i) scale = std::fmax(scale, std::fabs(g[i]));
    StepOrderCont(rs);
    DerCalc(rs, rs.p0, g);
    ASSERT_TRUE(Check(rs, rs.p0, n0)) << n0;
    for (int i = 1; i <= n0; ++i) EXPECT_LT(std::fabs(g[i]), 1e-5 * scale) << n0 << " " << i;
  }
}

TEST(Search, StartsThatCanNeverBeFeasibleAreFatal) {
  RunState rs = State(2, 1.0);  // fluid-rich start 0.8 needs conc > 0.2
  try {
    StepOrderDiscont(rs);
    ADD_FAILURE() << "no error";
  } catch (const FatalError& e) {
    const std::string m = e.what();
    EXPECT_NE(m.find("StepOrderDiscont (fluid-rich family, start 0.8 - conc = 0.800000, n0 = 2)"),
              std::string::npos) << m;
    EXPECT_NE(m.find("1000000 start states in a row"), std::string::npos) << m;
    EXPECT_NE(m.find("0.2 < conc < 0.8"), std::string::npos) << m;
  }
  RunState one = State(1, 1.0);  // nothing is drawn: fail at the first rejection
  one.para.conc = 0.9;
  const std::int32_t seed = one.idum;
  EXPECT_THROW(StepOrderDiscont(one), FatalError);
  EXPECT_EQ(one.idum, seed);
  RunState box = State(8, 1.0);  // conc2 = 0: no state of n0 = 8 is feasible
  EXPECT_THROW(StepOrderGlobal(box), FatalError);
}

}  // namespace
}  // namespace chainmelt
