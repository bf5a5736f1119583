#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e_util.hpp"
#include "numeric/amoeba.hpp"
#include "search/search.hpp"
#include "tasks/tasks.hpp"

namespace chainmelt {
namespace {

using testing::Fields;

// One lipid in the pair approximation, w = -250, dS = 10, started at
// (dH, T) = (3750, 280); conc is given as 0.3.
void Prepare(RunState& rs, std::FILE* out) {
  rs.n0 = 2;
  rs.T = 280;
  rs.para.w = -250;
  rs.para.dH = 3750;
  rs.para.dS = 10;
  rs.para.conc = 0.3;
  rs.Allocate();
  rs.out_ptr = rs.con = rs.diag = out;
}

// The task repeated step by step: start point, three vertices, simplex, one
// re-evaluation at the best vertex.  The same record and generator state show
// that the task made exactly these evaluations and recorded the last one.
TEST(TaskCrit, EvaluationSequenceAndRecord) {
  std::FILE* scratch = std::tmpfile();
  RunState task, hand;
  Prepare(task, scratch);
  Prepare(hand, scratch);
  task.out_ptr = std::tmpfile();
  TaskCrit(task);
  char record[256] = "";
  std::rewind(task.out_ptr);
  ASSERT_NE(std::fgets(record, sizeof record, task.out_ptr), nullptr);

  Matrix p(1, 3, 1, 2);
  Vector y(1, 3), x(1, 2);
  hand.pp[1] = 3750;
  hand.pp[2] = 280;
  StepDet(hand, hand.pp);
  for (int i = 1; i <= 3; ++i) {
    p[i][1] = x[1] = 3750 + (i == 2 ? 100 : 0);
    p[i][2] = x[2] = 280 + (i == 3 ? 100 : 0);
    y[i] = StepDet(hand, x);
  }
  int nfunk = 0;
  amoeba(p, y, 2, 0.1, [&](const Vector& v) { return StepDet(hand, v); }, &nfunk, scratch, scratch);
  x[1] = p[1][1];
  x[2] = p[1][2];
  const double det = StepDet(hand, x);
  char expect[256];
  std::snprintf(expect, sizeof expect, "%f %f %f %f %f %f %f %i \n", p[1][2], p[1][1], 0.01, det,
                hand.p0[1], hand.p0[2], hand.fret0, hand.iter);
  EXPECT_STREQ(record, expect);
  EXPECT_EQ(task.idum, hand.idum);
  EXPECT_EQ(task.det, det);
  EXPECT_EQ(task.para.conc, 0.02);
  std::fclose(task.out_ptr);
  std::fclose(scratch);
}

TEST(TaskCrit, FindsTheCriticalPointOfThePairApproximation) {
  testing::TempDir dir;
  const testing::RunResult r = testing::RunChainmelt(
      Fields("pa crit 2 310 -250 0 3850 10 0 0 0 0 0 0 0 0.3 0 0 0 0 310 400 1 T"),
      dir.path().string());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> lines = testing::Lines(testing::ReadFile(dir.file("output.out")));
  ASSERT_EQ(lines.size(), 1u);
  const std::vector<std::string> f = Fields(lines[0]);  // T dH conc det p1 p2 fret iter
  ASSERT_EQ(f.size(), 8u);
  EXPECT_EQ(f[2], "0.010000");
  const double Tc = 250 / (2 * std::log(1.5));  // Bethe: exp(-w / 2Tc) = 6/4
  EXPECT_NEAR(std::stod(f[0]), Tc, 0.05);
  EXPECT_NEAR(std::stod(f[1]), 10 * Tc + 750, 0.5);  // on the line dH + 3w = T dS
  EXPECT_NEAR(std::stod(f[4]), 0.5, 0.01);
  EXPECT_NEAR(std::stod(f[5]), 0.3, 0.01);  // y(f,f) / y(f,g) = exp(-w / 2Tc) = 1.5
  // The determinant scatters around 0 there: the simplex collapses.
  EXPECT_EQ(r.err.rfind("amoeba: simplex collapsed at (3832.", 0), 0u) << r.err;
  EXPECT_EQ(r.out.find("hier taskcrit "), r.out.rfind("hier taskcrit "));
}

}  // namespace
}  // namespace chainmelt
