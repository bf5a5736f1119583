// Minimisers, the free energy with its gradient in one evaluation, and the
// equilibrium search built on them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>

#include "model/free_grad.hpp"
#include "null_context.hpp"
#include "model/model.hpp"
#include "model_util.hpp"
#include "numeric/minimize.hpp"
#include "search/search.hpp"
#include "run_state_util.hpp"
#include "tasks/tasks.hpp"

namespace chainmelt {
namespace {

using testing::Bits;

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(LineSearch, WalledFunctionsEndInsideTheirDomain) {
  // Decreasing toward a wall at 1: the minimum found lies just inside it.
  auto f = [](double t) { return (t > 0.0 && t < 1.0) ? 1.0 - t : kInf; };
  auto df = [](double t) { return (t > 0.0 && t < 1.0) ? -1.0 : 0.0; };
  double a = 0.1, b = 0.2, c = 0.0, fa, fb, fc, xmin = 0.0;
  mnbrak(a, b, c, fa, fb, fc, f);
  EXPECT_EQ(fc, kInf);
  EXPECT_NEAR(dbrent(a, b, c, f, df, 2e-4, xmin), 0.0, 1e-3);
  EXPECT_LT(xmin, 1.0);
  EXPECT_GT(xmin, 0.999);

  // Both starting points on the wall: the bracket is flat and ends at once.
  a = 2.0, b = 3.0;
  mnbrak(a, b, c, fa, fb, fc, f);
  EXPECT_EQ(dbrent(a, b, c, f, df, 2e-4, xmin), kInf);
}

// A parabola with a little deterministic noise that differs at every
// evaluation: no two successive line minima ever agree to the tolerance, and
// the iteration limit ends the minimisation.
TEST(Frprmn, IterationLimitIsFatal) {
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
    ADD_FAILURE() << "no error";
  } catch (const FatalError& e) {
    EXPECT_STREQ(e.what(), "Too many iterations in frprmn");
    EXPECT_EQ(iter, 10000);
  }
}

// A random parameter set and a random box start of variant n0 (alt: the
// ligand-activity mode), with some fluid fractions near 0 and, in the
// ligand-activity mode, large activity variables.
void Draw(std::mt19937& rng, std::int32_t& idum, int n0, bool alt, Model& m, StateVec& p) {
  auto U = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); };
  m = Model{};
  m.n0 = n0;
  m.T = U(0.05, 4.0);
  if (alt) m.para.mode = kAltMode;
  for (double* f : {&m.para.w, &m.para.w2, &m.para.w3, &m.para.e2, &m.para.dH, &m.para.dS,
                    &m.para.dH2, &m.para.dS2})
    *f = U(-4.0, 4.0);
  m.para.conc = U(0.02, 0.6);
  m.para.conc2 = U(0.02, 0.9);
  m.para.z = U(0.0, 1.0) < 0.1 ? 0.0 : U(0.0, 4.0);
  // Whole ligand sizes, fractional ones, and sizes around 170 where the
  // factorials overflow and the ligand sums turn NaN.
  const double r = U(0.0, 1.0);
  m.para.nu = r < 0.6   ? std::uniform_int_distribution<int>(-2, 20)(rng)
              : r < 0.85 ? U(-3.0, 25.0)
                         : std::uniform_int_distribution<int>(165, 175)(rng);
  Init(m, p, n0, &idum);
  if (U(0.0, 1.0) < 0.1) p[1] = std::pow(10.0, -U(1.0, 300.0));
  if (alt) p[2] = U(0.0, 1.0) < 0.3 ? U(-1e4, 1e4) : U(-40.0, 40.0);
}

// Value and gradient together are bit for bit FreeCalc and DerCalc, every
// component included, inside the region and outside it (the sentinel).
TEST(FreeDerCalc, BitIdenticalToFreeCalcAndDerCalcInsideAndOutside) {
  std::mt19937 rng(90210);
  std::int32_t idum = 123;
  for (int kind : {1, 2, 4, 5, 8, -2}) {  // -2: the ligand-activity mode
    int feasible = 0, outside = 0;
    for (int t = 0; t < 20000 && feasible < 300; ++t) {
      Model m;
      StateVec p, g1, g2;
      Draw(rng, idum, std::abs(kind), kind < 0, m, p);
      if (t % 10 == 9) p[1] = 0.0;
      for (int i = 0; i <= kMaxVars; ++i) g1[i] = g2[i] = -7.0;
      DerCalc(m, p, g1);
      const double F = FreeDerCalc(m, p, g2);
      (F != kSentinel ? feasible : outside) += 1;
      ASSERT_EQ(Bits(F), Bits(FreeCalc(m, p))) << "n0 " << m.n0 << " nu " << m.para.nu;
      for (int i = 0; i <= kMaxVars; ++i)
        ASSERT_EQ(Bits(g1[i]), Bits(g2[i])) << "n0 " << m.n0 << " nu " << m.para.nu << " g" << i;
    }
    EXPECT_EQ(feasible, 300) << kind;
    EXPECT_GE(outside, 30) << kind;
  }
}

using testing::State;

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
  // so every run ends where it started and all runs tie: the first run is
  // taken although it is not below 0.  With conc = 0.25 about half of the
  // fluid-rich starts (x = 0.55) are rejected.
  RunState rs = State(2, 0.0);
  rs.para.conc = 0.25;
  RunState replay = rs;
  StateVec gel, fluid;
  AfterStarts(replay, 0.2, 5, &gel);
  const std::int32_t end = AfterStarts(replay, 0.55, 5, &fluid);
  StateVec box;
  do Init(replay, box, 2, &replay.idum);
  while (!Check(replay, box, 2));

  RunState phase = rs;
  const FamilyMinima fam = StepOrderDiscont(rs);
  EXPECT_EQ(rs.idum, end);  // exactly ten accepted draws
  EXPECT_EQ(fam.gel.f, 0.0);
  EXPECT_EQ(fam.fluid.f, 0.0);
  for (int i = 1; i <= 2; ++i) {
    EXPECT_EQ(fam.gel.p[i], gel[i]);
    EXPECT_EQ(fam.fluid.p[i], fluid[i]);
  }
  // The phase record: a tie goes to the fluid-rich family.
  testing::RecordingContext records;
  phase.ctx = &records;
  HesseWork work(2);
  TaskPhase(phase, work);
  EXPECT_EQ(phase.idum, end);
  ASSERT_EQ(records.records.size(), 1u);
  const std::vector<double>& r = records.records[0];
  ASSERT_EQ(r.size(), 5u);  // T, x_f, y_ff, F, iter
  EXPECT_EQ(r[1], fluid[1]);
  EXPECT_EQ(r[2], fluid[2]);
  EXPECT_EQ(r[3], 0.0);
  EXPECT_EQ(r[4], fam.iter);

  const Minimum best = StepOrderGlobal(rs);
  EXPECT_EQ(best.f, 0.0);
  EXPECT_EQ(best.p[1], box[1]);
  EXPECT_EQ(best.p[2], box[2]);
}

// Every variant's search ends at a stationary point of the free energy.
TEST(Search, MinimaAreStationaryInEveryVariant) {
  for (int n0 : {1, 2, 4, 5, 8}) {
    RunState rs = State(n0, 1.2);
    Para& q = rs.para;
    q.w = -0.5, q.w2 = 0.3, q.w3 = 0.1, q.e2 = 0.2, q.dH = 2.0, q.dS = 1.6;
    q.dH2 = 0.4, q.dS2 = 0.1, q.conc = 0.2, q.conc2 = 0.3, q.z = 0.5, q.nu = 2;
    const Minimum m = StepOrderCont(rs);
    ASSERT_TRUE(Check(rs, m.p, n0)) << n0;
    EXPECT_EQ(m.f, FreeCalc(rs, m.p)) << n0;
    EXPECT_GT(m.iter, 0) << n0;
    StateVec g;
    DerCalc(rs, m.p, g);
    for (int i = 1; i <= n0; ++i) EXPECT_LT(std::fabs(g[i]), 1e-5) << "n0 " << n0 << " g" << i << " = " << g[i];
  }
}

TEST(Search, RunFromAStartAboveTheSentinelAvoidsTheInfeasiblePit) {
  // Kelvin scale: the fluid-rich starts lie hundreds of units above 42.
  RunState rs = State(2, 305.0);
  rs.para.w = -300.0;
  rs.para.dH = 3065.0;
  rs.para.dS = 2165.0 / 314.0;
  rs.para.conc = 0.21;
  RunState replay = rs;
  AfterStarts(replay, 0.2, 5);
  // Unmended fluid-rich runs (the sentinel as it stands) that end outside
  // the region at 42.
  auto f = [&rs](const StateVec& q) { return FreeCalc(rs, q); };
  auto df = [&rs](const StateVec& q, StateVec& g) { DerCalc(rs, q, g); };
  int pits = 0;
  for (int k = 0; k < 5; ++k) {
    StateVec p;
    AfterStarts(replay, 0.8 - rs.para.conc, 1, &p);
    double fret = FreeCalc(rs, p);
    ASSERT_GT(fret, 100.0);
    int iter = 0;
    frprmn(p, 2, 1e-15, iter, fret, f, df);
    if (fret == kSentinel && !Check(rs, p, 2)) ++pits;
  }
  ASSERT_GE(pits, 3);

  const FamilyMinima fam = StepOrderDiscont(rs);
  for (const Minimum* m : {&fam.gel, &fam.fluid}) {
    EXPECT_TRUE(Check(rs, m->p, 2));
    EXPECT_EQ(m->f, FreeCalc(rs, m->p));
  }
  EXPECT_LT(fam.fluid.f, 0.0);
}

}  // namespace
}  // namespace chainmelt
