#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e_util.hpp"
#include "model/model.hpp"
#include "model/run_state.hpp"
#include "numeric/amoeba.hpp"
#include "search/search.hpp"
#include "tasks/tasks.hpp"

namespace chainmelt {
namespace {

using testing::Fields;
using testing::Lines;
using testing::ReadFile;
using testing::RunChainmelt;
using testing::TempDir;

std::string ReadBack(std::FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string s;
  for (int c; (c = std::fgetc(f)) != EOF;) s.push_back(static_cast<char>(c));
  return s;
}

// One lipid in the pair approximation with w = -250: its critical point lies
// at T = -w / (2 ln 1.5), about 308.3, on the line dH + 3 w = T dS.
struct CritRun {
  RunState rs;
  std::FILE* out = std::tmpfile();
  std::FILE* con = std::tmpfile();
  std::FILE* diag = std::tmpfile();
  CritRun() {
    rs.n0 = 2;
    rs.T = 280;
    rs.para.w = -250;
    rs.para.dH = 3750;
    rs.para.dS = 10;
    rs.para.conc = 0.3;
    rs.Allocate();
    rs.out_ptr = out;
    rs.con = con;
    rs.diag = diag;
  }
  ~CritRun() {
    std::fclose(out);
    std::fclose(con);
    std::fclose(diag);
  }
  CritRun(const CritRun&) = delete;
  CritRun& operator=(const CritRun&) = delete;
};

TEST(StepDet, MovesThePointAndReturnsTheDeterminantThere) {
  CritRun run;
  RunState& rs = run.rs;
  Vector x(1, 2);
  x[1] = 3000;
  x[2] = 350;  // well above the transition: a stable fluid state
  const double d = StepDet(rs, x);
  EXPECT_EQ(rs.para.dH, 3000);
  EXPECT_EQ(rs.T, 350);
  EXPECT_EQ(d, rs.det);
  EXPECT_GT(d, 0.0);
  EXPECT_LT(rs.fret0, 0.0);
  // The same determinant from the Hessian at the state the search left.
  Matrix h(1, 2, 1, 2);
  HesseCalc(rs, rs.p0, 2, h);
  EXPECT_NEAR(d, (h[1][1] * h[2][2] - h[1][2] * h[2][1]) / 1e4, 1e-9 * std::fabs(d));
}

// The task's sequence of evaluations, repeated step by step by hand: the
// start point, the three vertices, the simplex, the re-evaluation at the best
// vertex.  Identical records and generator states show that the task made
// exactly these evaluations and recorded the last one.
TEST(TaskCrit, EvaluationSequenceAndRecord) {
  CritRun task;
  TaskCrit(task.rs);
  const std::string record = ReadBack(task.out);
  const std::string con = ReadBack(task.con);

  CritRun hand;
  RunState& rs = hand.rs;
  rs.para.conc = 0.01;
  rs.pp[1] = rs.para.dH;
  rs.pp[2] = rs.T;
  StepDet(rs, rs.pp);
  Matrix p(1, 3, 1, 2);
  Vector y(1, 3), x(1, 2);
  const double start[3][2] = {{3750, 280}, {3850, 280}, {3750, 380}};
  for (int i = 1; i <= 3; ++i) {
    p[i][1] = x[1] = start[i - 1][0];
    p[i][2] = x[2] = start[i - 1][1];
    y[i] = StepDet(rs, x);
  }
  int calls = 0, nfunk = 0;
  amoeba(p, y, 2, 0.1, [&](const Vector& v) { return ++calls, StepDet(rs, v); }, &nfunk, hand.con,
         hand.diag);
  x[1] = p[1][1];
  x[2] = p[1][2];
  const double det = StepDet(rs, x);
  char expect[256];
  std::snprintf(expect, sizeof expect, "%f %f %f %f %f %f %f %i \n", p[1][2], p[1][1], 0.01, det,
                rs.p0[1], rs.p0[2], rs.fret0, rs.iter);
  EXPECT_EQ(record, expect);
  EXPECT_EQ(task.rs.idum, rs.idum);
  EXPECT_EQ(task.rs.det, det);
  EXPECT_EQ(task.rs.para.dH, p[1][1]);
  EXPECT_EQ(task.rs.T, p[1][2]);
  EXPECT_EQ(task.rs.para.conc, 0.01 + 0.01);
  EXPECT_EQ(nfunk, calls);
  std::snprintf(expect, sizeof expect, "hier taskcrit %f\n", y[1]);
  EXPECT_NE(con.find(expect), std::string::npos);
  EXPECT_EQ(con.find("hier taskcrit"), con.rfind("hier taskcrit"));
}

std::vector<std::string> CritArgs(const std::string& T, const std::string& dH) {
  // w = -250, dS = 10, conc 0.3 (the task works at 0.01), T_min = T.
  return {"pa", "crit", "2", T,   "-250", "0", dH, "10", "0", "0", "0", "0",
          "0",  "0",    "0", "0.3", "0",  "0", "0", "0", T,   "400", "1", "T"};
}

TEST(TaskCrit, RunsEndWithOneRecordAndNearTheCriticalPointFindIt) {
  {
    // A start below the critical temperature: the simplex settles where three
    // determinants agree to the tolerance, on the transition line.
    TempDir dir;
    const auto r = RunChainmelt(CritArgs("280", "3750"), dir.path().string());
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = Lines(ReadFile(dir.file("output.out")));
    ASSERT_EQ(lines.size(), 1u);
    const std::vector<std::string> f = Fields(lines[0]);
    ASSERT_EQ(f.size(), 8u);  // T, dH, conc, det, p1, p2, fret, iter
    EXPECT_EQ(f[2], "0.010000");
    const double T = std::stod(f[0]), dH = std::stod(f[1]);
    EXPECT_NEAR(dH - 3 * 250.0, 10.0 * T, 0.01 * 10.0 * T);
    EXPECT_EQ(r.out.rfind("T = 280.000000 Task: crit\n", 0), 0u);
    EXPECT_EQ(r.out.find("hier taskcrit "), r.out.rfind("hier taskcrit "));
    EXPECT_NE(r.out.find("1 amoeba det "), std::string::npos);
  }
  {
    // Started close by, it finds the critical point of the pair approximation,
    // where the determinant scatters around 0 and the simplex collapses.
    TempDir dir;
    const auto r = RunChainmelt(CritArgs("310", "3850"), dir.path().string());
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = Lines(ReadFile(dir.file("output.out")));
    ASSERT_EQ(lines.size(), 1u);
    const std::vector<std::string> f = Fields(lines[0]);
    ASSERT_EQ(f.size(), 8u);
    const double Tc = 250.0 / (2.0 * std::log(1.5));
    EXPECT_NEAR(std::stod(f[0]), Tc, 0.05);
    EXPECT_NEAR(std::stod(f[1]), 10.0 * Tc + 750.0, 0.5);
    EXPECT_NEAR(std::stod(f[4]), 0.5, 0.01);  // half melted
    // Quasi-chemical pairs at x = 1/2: y(f,f) / y(f,g) = exp(-w / 2T) = 1.5.
    EXPECT_NEAR(std::stod(f[5]), 0.3, 0.01);
    EXPECT_NE(r.err.find("simplex collapsed"), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace chainmelt
