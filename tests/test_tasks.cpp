// The "heat", "size" and "crit" tasks: against the thermodynamics they
// compute, mostly through the real binary.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e_util.hpp"
#include "numeric/amoeba.hpp"
#include "search/search.hpp"
#include "tasks/tasks.hpp"

namespace chainmelt::testing {
namespace {

// The records of a complete run, as numbers.
std::vector<std::vector<double>> Table(const std::string& command_line) {
  const Calc c(command_line);
  EXPECT_EQ(c.r.status, 0) << c.r.err;
  std::vector<std::vector<double>> rows;
  for (const auto& line : c.records) {
    rows.emplace_back();
    for (const auto& f : Fields(line)) rows.back().push_back(std::stod(f));
  }
  return rows;
}

TEST(TaskHeat, MeanFieldSecondDifferenceAndItsBound) {
  RunState rs;
  rs.n0 = 1;
  rs.Allocate();
  rs.out_ptr = std::tmpfile();
  rs.para.w = -600;
  rs.para.dH = 2400;
  rs.para.dS = 2100.0 / 314;
  rs.T_min = 310;
  rs.dT = 1;
  double F[3];
  for (int k = 0; k < 3; ++k) {
    rs.T = 310 + k;
    TaskHeat(rs);
    F[k] = rs.fret0;
    EXPECT_EQ(Drain(rs.out_ptr).empty(), k < 2);
  }
  const std::vector<std::string> f = Fields(Drain(rs.out_ptr));  // T z Theta p1 heat/T fret iter
  std::fclose(rs.out_ptr);
  ASSERT_EQ(f.size(), 7u);
  EXPECT_EQ(f[0], "312.000000");
  EXPECT_NEAR(std::stod(f[4]), -(311.0 * 311.0) * (F[2] + F[0] - 2 * F[1]) / 312, 1e-6);
  // Sweeping dH at T = 300: the bound T_min + 2 dT holds at every point or none.
  const std::string mean_field = "pa heat 1 300 -600 0 1 6.7 0 0 0 0 0 0 0 0 0 0 0 0 ";
  EXPECT_EQ(Calc(mean_field + "100 104 1 H").records.size(), 5u);
  EXPECT_EQ(Calc(mean_field + "2400 2404 1 H").records.size(), 0u);
}

// Energy part of the free energy of a "heat" record (T C p1..pn fret iter) of
// the parameters below; the constant e2 conc of n0 = 4 left out.
double Energy(int n0, const std::vector<double>& r) {
  const double dH = 2550, w = -150, w2 = -50, w3 = 40, e2 = n0 == 5 ? 600 : 0, dH2 = -600;
  if (n0 == 8) return dH * r[2] + (dH + dH2) * r[3] + 3 * w * (r[4] + r[5] + 2 * r[9]);
  const int k = n0 == 5 ? 1 : 0;  // n0 = 5 has the component fraction as p2
  double u = dH * r[2] + k * e2 * r[3] + 3 * w * r[3 + k];
  if (n0 > 2) u += 6 * w3 * r[4 + k] + 3 * w2 * r[5 + k];
  return u;
}

// The printed heat capacity is the temperature derivative of the equilibrium
// energy: point by point away from the transition in every pair variant, and
// as the area under the whole curve of a continuous transition.
TEST(TaskHeat, PairVariantsFollowTheEquilibriumEnergy) {
  const std::string model = " -150 -50 2550 6.687898 0 0 ";
  for (int n0 : {2, 4, 5, 8}) {
    SCOPED_TRACE(n0);
    const double T = n0 == 2 || n0 == 5 ? 300 : 328;
    const std::string e2 = n0 == 5 ? "600" : "0";
    const std::string range =
        n0 == 2 ? "250 400" : std::to_string(T - 1) + " " + std::to_string(T + 1);
    const auto rows = Table("pa heat " + std::to_string(n0) + " 300" + model + e2 +
                            " 40 -600 -1.5 0 0.1 0.3 0 0 0 " + range + " 1 T");
    const std::size_t at = n0 == 2 ? 50 : 1;
    ASSERT_GT(rows.size(), at + 1);
    ASSERT_EQ(rows[at].size(), static_cast<std::size_t>(n0 + 4));
    EXPECT_EQ(rows[at][0], T);
    const double slope = (Energy(n0, rows[at + 1]) - Energy(n0, rows[at - 1])) / 2;
    EXPECT_GT(slope, 0.5);
    EXPECT_NEAR(rows[at][1], slope, 0.03 * slope);
    if (n0 != 2) continue;
    ASSERT_EQ(rows.size(), 151u);
    double area = 0;
    for (std::size_t i = 1; i < rows.size(); ++i) area += 0.5 * (rows[i][1] + rows[i - 1][1]);
    const double du = Energy(2, rows.back()) - Energy(2, rows.front());
    EXPECT_GT(du, 0.85 * 2100);  // nearly the whole transition
    EXPECT_NEAR(area, du, 0.02 * du);
  }
  const auto h = Table("pa heat 2 314" + model + "0 0 0 0 0 0 0 0 0 0 2500 2502 1 H");
  ASSERT_EQ(h.size(), 3u);
  EXPECT_EQ(h[2][0], 2502);
}

const char kHeader[] =
    "# nu, z, cmax, T, Theta, p, fret, iter, c1/2, T, Theta, p, fret, iter, dT1/2 ";

// "size" of a mean-field lipid (n0 = 1 unless given) with dS = 2200/314,
// w and dH as given, a ligand of activity z preferring gel by dH2 per fluid
// chain it covers, and the inner sweep `range`.
std::string SizeRun(const std::string& w_dH, const std::string& z, const std::string& dH2,
                    const std::string& range, const std::string& n0 = "1") {
  return "pa size " + n0 + " 300 " + w_dH + " 7.0063694 0 0 0 0 " + dH2 + " 0 0 0 0 " + z +
         " 0 0 " + range + " T";
}

TEST(TaskSize, RecordsHeadersAndProgress) {
  const Calc pair(SizeRun("-150 0 2650", "1", "30", "300 306 2", "2"));
  EXPECT_TRUE(pair.records.empty());
  EXPECT_EQ(Lines(pair.r.out).size(), 21u);  // the driver's line and one per size
  EXPECT_NE(pair.r.out.find("\npara.nu = 18.000000 Task: size\n"), std::string::npos);

  const Calc c(SizeRun("-1000 0 2700", "1", "30", "290 370 2"));
  ASSERT_EQ(c.records.size(), 40u);
  for (int k = 0; k < 20; ++k) {
    const std::vector<std::string> f = Fields(c.records[2 * k]);
    ASSERT_EQ(f.size(), 15u) << c.records[2 * k];
    EXPECT_EQ(c.records[2 * k + 1], kHeader);
    EXPECT_EQ(std::stod(f[0]), k - 1);
    EXPECT_EQ(f[1], k == 0 ? "0.000000" : "1.000000");  // z^(nu+1); none for nu = -1
    EXPECT_LT(std::stod(f[8]), 0.5 * std::stod(f[2]));
    EXPECT_NEAR(std::stod(f[14]), 2 * (std::stod(f[9]) - std::stod(f[3])), 1e-6);
    // A gel-binding ligand stabilises the gel, the more so the larger it is.
    if (k > 1) {
      EXPECT_GE(std::stod(f[3]), std::stod(Fields(c.records[2 * k - 2])[3]));
    }
  }
}

TEST(TaskSize, PeakAndHalfHeightEdgeCases) {
  // No ligand, coarse steps on the falling flank: peak and half height both
  // at the fourth point.
  const Calc flank(SizeRun("-1150 0 2775", "0", "0", "310 340 10"));
  ASSERT_EQ(flank.records.size(), 40u);
  for (std::size_t i = 0; i < 40; i += 2) {
    const std::vector<std::string> f = Fields(flank.records[i]);
    ASSERT_EQ(f.size(), 15u);
    EXPECT_EQ(f[3], "340.000000");
    EXPECT_EQ(f[14], "0.000000");
  }
  // The sweep ends past the peak but before half height: each size's peak
  // record ends its own line.
  const Calc peaks(SizeRun("-1000 0 2700", "0", "0", "300 320 1"));
  ASSERT_EQ(peaks.records.size(), 20u);
  for (const std::string& line : peaks.records) EXPECT_EQ(Fields(line).size(), 8u) << line;
  // Deep in the gel the heat values are the scatter of the minima, of either
  // sign; a negative one is no half height without a recorded peak.
  const Calc gel(SizeRun("-600 0 2500", "1", "30", "60 120 5"));
  EXPECT_GE(gel.records.size(), 20u);
  for (std::size_t i = 0; i < gel.records.size(); ++i) {
    const std::size_t n = Fields(gel.records[i]).size();
    if (gel.records[i] == kHeader) {
      EXPECT_TRUE(i > 0 && Fields(gel.records[i - 1]).size() == 15u);
    } else {
      EXPECT_TRUE(n == 8 || n == 15) << gel.records[i];
    }
  }
}

// One lipid in the pair approximation, w = -250, dS = 10, started at
// (dH, T) = (3750, 280).  The task repeated step by step: start point, three
// vertices, simplex, one re-evaluation at the best vertex.  The same record
// and generator state show that the task made exactly these evaluations and
// recorded the last one.
TEST(TaskCrit, EvaluationSequenceAndRecord) {
  std::FILE* scratch = std::tmpfile();
  RunState task, hand;
  for (RunState* rs : {&task, &hand}) {
    rs->n0 = 2;
    rs->T = 280;
    rs->para.w = -250;
    rs->para.dH = 3750;
    rs->para.dS = 10;
    rs->para.conc = 0.3;
    rs->Allocate();
    rs->out_ptr = rs->con = rs->diag = scratch;
  }
  task.out_ptr = std::tmpfile();
  TaskCrit(task);

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
  EXPECT_EQ(Drain(task.out_ptr), expect);
  EXPECT_EQ(task.idum, hand.idum);
  std::fclose(task.out_ptr);
  std::fclose(scratch);
}

TEST(TaskCrit, FindsTheCriticalPointOfThePairApproximation) {
  const Calc c("pa crit 2 310 -250 0 3850 10 0 0 0 0 0 0 0 0.3 0 0 0 0 310 400 1 T");
  ASSERT_EQ(c.r.status, 0) << c.r.err;
  ASSERT_EQ(c.records.size(), 1u);
  const std::vector<std::string> f = Fields(c.records[0]);  // T dH conc det p1 p2 fret iter
  ASSERT_EQ(f.size(), 8u);
  EXPECT_EQ(f[2], "0.010000");
  const double Tc = 250 / (2 * std::log(1.5));  // Bethe: exp(-w / 2Tc) = 6/4
  EXPECT_NEAR(std::stod(f[0]), Tc, 0.05);
  EXPECT_NEAR(std::stod(f[1]), 10 * Tc + 750, 0.5);  // on the line dH + 3w = T dS
  EXPECT_NEAR(std::stod(f[4]), 0.5, 0.01);
  EXPECT_NEAR(std::stod(f[5]), 0.3, 0.01);  // y(f,f) / y(f,g) = exp(-w / 2Tc) = 1.5
  // The determinant scatters around 0 there: the simplex collapses.
  EXPECT_EQ(c.r.err.rfind("amoeba: simplex collapsed at (3832.", 0), 0u) << c.r.err;
  EXPECT_EQ(c.r.out.find("hier taskcrit "), c.r.out.rfind("hier taskcrit "));
}

}  // namespace
}  // namespace chainmelt::testing
