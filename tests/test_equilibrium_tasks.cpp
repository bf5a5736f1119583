// The equilibrium search: the exact transition of the one-lipid pair model,
// the lowest minimum against a dense scan of the free energy, and the area
// of the equilibrium heat curve with its latent heats.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "model/model.hpp"
#include "model_util.hpp"
#include "run/run.hpp"

namespace chainmelt {
namespace {

class Quiet : public Reporter {
 public:
  void Progress(const char*) override {}
  void Diagnostic(const char*) override {}
};

// n0 = 2 with dH, dS, w given; sweep MIN + k*STEP.
RunSpec Pair(const std::string& task, double dH, double dS, double w, double lo, double hi,
             double step) {
  RunSpec s;
  s.task = task;
  s.model.n0 = 2;
  s.model.para.dH = dH, s.model.para.dS = dS, s.model.para.w = w;
  s.model.para.conc = 0.21;
  s.model.para.sweep = "T";
  s.T_min = lo, s.T_max = hi, s.dT = step;
  s.exact_sweep = true;
  s.search = SearchMode::kEquilibrium;
  return s;
}

std::vector<std::vector<double>> Rows(const RunSpec& spec, int threads = 1) {
  RunSpec s = spec;
  s.threads = threads;
  TableSink sink;
  Quiet quiet;
  const RunSummary r = Execute(s, sink, quiet);
  EXPECT_TRUE(r.ok()) << r.message;
  return sink.rows();
}

// The gel-fluid symmetry of the pair model puts the first-order transition
// at T* = (dH + 3w)/dS exactly: the fluid fraction jumps once, there, at
// both energy scales and every step, and the parallel sweep agrees.
TEST(EquilibriumTasks, PairModelJumpsOnceAtTheExactTransition) {
  const struct {
    double dH, dS, w, step;
  } cases[] = {{2165.0 + 900.0, 2165.0 / 314.0, -300.0, 0.01},
               {2165.0 + 900.0, 2165.0 / 314.0, -300.0, 0.05},
               {36.0, 8.0, -4.0, 0.1}};
  for (const auto& c : cases) {
    const double Tstar = (c.dH + 3 * c.w) / c.dS;
    const auto rows = Rows(Pair("phase", c.dH, c.dS, c.w, Tstar - 1.5, Tstar + 1.5, c.step * Tstar / 314.0));
    int jumps = 0;
    for (std::size_t i = 1; i < rows.size(); ++i) {
      if ((rows[i][1] > 0.5) == (rows[i - 1][1] > 0.5)) continue;
      ++jumps;
      EXPECT_LE(rows[i - 1][0], Tstar + 1e-9 * Tstar);
      EXPECT_GE(rows[i][0], Tstar - 1e-9 * Tstar);
      EXPECT_GT(rows[i][1] - rows[i - 1][1], 0.5);  // gel to fluid, a real jump
    }
    EXPECT_EQ(jumps, 1) << c.w;
    EXPECT_EQ(Rows(Pair("phase", c.dH, c.dS, c.w, Tstar - 1.5, Tstar + 1.5, 0.25), 2),
              Rows(Pair("phase", c.dH, c.dS, c.w, Tstar - 1.5, Tstar + 1.5, 0.25), 1));
  }
}

// No state the search reports is above the lowest free energy a dense scan
// over the fluid fraction finds, far below the transition too (where the
// program's own search can stop far above the gel minimum).
TEST(EquilibriumTasks, NeverAboveADenseScanOfTheFreeEnergy) {
  for (const double T : {10.0, 100.0, 250.0, 313.0, 314.5, 330.0, 600.0}) {
    RunSpec s = Pair("phase", 3065, 2165.0 / 314.0, -300, T, T, 1);
    const auto rows = Rows(s);
    ASSERT_EQ(rows.size(), 1u);
    Model m = s.model;
    m.T = T;
    double x = 0;
    const double scan = testing::ScanMinimum(m, &x);
    EXPECT_LE(rows[0][3], scan + 1e-9 * std::fabs(scan) + 1e-12) << T;
  }
}

// The equilibrium heat capacity integrates to the change of the equilibrium
// energy once the latent heat of the jump is added: sum of trapezoids of Cp
// (across the jump closed at T_jump with each side's Cp) plus every dU
// against U(end) - U(start), first order (w = -300) and continuous (w = -240).
TEST(EquilibriumTasks, HeatCurveAreaEqualsTheEnergyChange) {
  for (const double w : {-300.0, -240.0}) {
    const auto rows = Rows(Pair("heat", 2200 - 3 * w, 2200.0 / 314.0, w, 300, 330, 0.01), 2);
    ASSERT_EQ(rows.size(), 3001u);
    // T Cp x_f y_ff F iter U branch dU T_jump
    double area = 0, latent = 0;
    for (std::size_t i = 1; i < rows.size(); ++i) {
      const double T0 = rows[i - 1][0], T1 = rows[i][0], c0 = rows[i - 1][1], c1 = rows[i][1];
      if (rows[i][8] != 0.0) {
        const double Tj = rows[i][9];
        EXPECT_NEAR(Tj, 314.0, 1e-9 * 314.0);  // T* = (dH + 3w)/dS
        area += c0 * (Tj - T0) + c1 * (T1 - Tj);
      } else {
        EXPECT_EQ(rows[i][9], 0.0);
        area += 0.5 * (c0 + c1) * (T1 - T0);
      }
      latent += rows[i][8];
    }
    const double dU = rows.back()[6] - rows.front()[6];
    EXPECT_NEAR(area + latent, dU, 1e-4 * dU) << w;
    EXPECT_EQ(latent > 0, w == -300.0);
  }
}

// A list of temperatures is one curve: its records come out in the order
// given, each the record of the same temperature in the sorted sweep (the
// latent heat where the sorted neighbour lies across the jump); values that
// are no temperatures are refused.
TEST(EquilibriumTasks, AListOfTemperaturesIsOneCurveInTheGivenOrder) {
  RunSpec sorted = Pair("heat", 3065, 2165.0 / 314.0, -300, 312, 316, 0.5);
  const auto want = Rows(sorted);
  ASSERT_EQ(want.size(), 9u);
  const std::vector<std::size_t> order = {4, 0, 8, 2, 7, 1, 3, 6, 5};
  RunSpec listed = sorted;
  for (const std::size_t k : order) listed.values.push_back(want[k][0]);
  for (const int threads : {1, 3}) {
    const auto got = Rows(listed, threads);
    ASSERT_EQ(got.size(), order.size());
    for (std::size_t k = 0; k < order.size(); ++k) EXPECT_EQ(got[k], want[order[k]]) << k;
  }
  int jumps = 0;
  for (const auto& row : want) jumps += row[8] != 0.0;
  EXPECT_EQ(jumps, 1);
  // A value given twice has the same record twice, but for its iterations
  // (the work was done at the first).
  RunSpec twice = listed;
  twice.values.push_back(want[1][0]);
  auto again = Rows(twice);
  ASSERT_EQ(again.size(), order.size() + 1);
  EXPECT_GT(again[5][5], 0.0);
  EXPECT_EQ(again.back()[5], 0.0);
  again.back()[5] = again[5][5];
  EXPECT_EQ(again.back(), again[5]);

  for (const double bad : {-1.0, 0.0, 1e-101, 1e101, std::nan(""), HUGE_VAL}) {
    RunSpec s = listed;
    s.values.push_back(bad);
    const auto refusal = DeriveAndCheck(s);
    ASSERT_TRUE(refusal.has_value()) << bad;
    EXPECT_STREQ(refusal->field->name, "T_min");
  }
  // The classic heat capacity of n0 = 1 is a second difference over dT.
  RunSpec mean_field = listed;
  mean_field.model.n0 = 1;
  mean_field.search = SearchMode::kClassic;
  EXPECT_TRUE(DeriveAndCheck(mean_field).has_value());
  mean_field.search = SearchMode::kEquilibrium;
  EXPECT_FALSE(DeriveAndCheck(mean_field).has_value());
}

}  // namespace
}  // namespace chainmelt
