// The tasks through the real binary: the reasons they give for points without
// a record, the fatal path of an unreachable start, the line structure of
// "size" and the early stop of "crit".
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "e2e_util.hpp"

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

// The printed heat capacity is C = -T d2F/dT2 of the equilibrium free energy
// F of the records (T C p1..pn F iter): point by point away from the
// transition in every pair variant, and as the area under the whole curve of
// a continuous transition, which is the change of U = F - T dF/dT.
TEST(TaskHeat, PairVariantsFollowTheEquilibriumFreeEnergy) {
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
    auto F = [&](std::size_t i) { return rows[i][static_cast<std::size_t>(n0 + 2)]; };
    const double c = -T * (F(at + 1) + F(at - 1) - 2 * F(at));
    EXPECT_GT(c, 0.5);
    EXPECT_NEAR(rows[at][1], c, 0.002 * c);
    if (n0 != 2) continue;
    ASSERT_EQ(rows.size(), 151u);
    auto U = [&](std::size_t i) { return F(i) - rows[i][0] * (F(i + 1) - F(i - 1)) / 2; };
    double area = 0;
    for (std::size_t i = 2; i < 150; ++i) area += 0.5 * (rows[i][1] + rows[i - 1][1]);
    const double du = U(149) - U(1);
    EXPECT_GT(du, 0.85 * 2100);  // nearly the whole transition
    EXPECT_NEAR(area, du, 0.02 * du);
  }
  // The mean-field variant's bound T_min + 2 dT holds at every point of a dH
  // sweep at T = 300 or at none.
  const std::string mean_field = "pa heat 1 300 -600 0 1 6.7 0 0 0 0 0 0 0 0 0 0 0 0 ";
  EXPECT_EQ(Calc(mean_field + "100 104 1 H").records.size(), 5u);
  EXPECT_EQ(Calc(mean_field + "2400 2404 1 H").records.size(), 0u);
}

// Kelvin-scale energies, beyond the reach of the bracket: no point writes a
// record, and each says why on stderr.  At 314.25 the search widens seven
// times (nine searches): 2926.68842 - 2910.6248 = 0.02 * 2.6^7.
TEST(CoexistE2E, PointsWithoutRecordSayWhy) {
  const Calc c("pa coexist 2 314 -300 0 3098 7 0 0 0 0 0 0 0 0.21 0 0 0 0 313.5 314.5 0.25 T");
  EXPECT_EQ(c.r.status, 0);
  EXPECT_TRUE(c.records.empty());
  const auto err = Lines(c.r.err);
  ASSERT_EQ(err.size(), 5u) << c.r.err;
  for (std::size_t k : {0u, 1u, 2u, 4u}) {
    EXPECT_NE(err[k].find(": no record, both families ended in the same phase at dH = "),
              std::string::npos) << err[k];
  }
  EXPECT_EQ(err[3],
            "coexist at T = 314.250000: no record, no sign change of the free-energy difference "
            "before the trial values of dH spread from 2910.624800 to 2926.688420");
}

// n0 = 2 needs conc > 0.2 for its fluid-rich starts: after the bounded number
// of draws the run ends through the fatal-error path, saying what to change.
TEST(SearchE2E, UnreachableStartStopsWithItsReason) {
  const Calc c("pa phase 2 3 -4 0 30 8 0 0 0 0 0 0 0 0 0 0 0 0 3 4 1 T");
  EXPECT_EQ(c.r.status, 1);
  EXPECT_TRUE(c.records.empty());
  EXPECT_EQ(c.r.out, "T = 3.000000 Task: phase\n");
  EXPECT_EQ(c.r.err,
            "Vorn run-time error...\n"
            "StepOrderDiscont (fluid-rich family, start 0.8 - conc = 0.800000, n0 = 2): 1000000 "
            "start states in a row were infeasible; choose conc (argument 16) with 0.2 < conc < 0.8\n"
            "...now exiting to system...\n");
}

const char kHeader[] =
    "# nu, z, cmax, T, Theta, p, fret, iter, c1/2, T, Theta, p, fret, iter, dT1/2 ";

// "size" of a mean-field lipid with dS = 2200/314, w and dH as given, a ligand
// of activity z preferring gel by dH2 per fluid chain it covers, and the inner
// sweep `range`.
std::string SizeRun(const std::string& w_dH, const std::string& z, const std::string& dH2,
                    const std::string& range) {
  return "pa size 1 300 " + w_dH + " 7.0063694 0 0 0 0 " + dH2 + " 0 0 0 0 " + z + " 0 0 " +
         range + " T";
}

TEST(TaskSize, EveryRecordEndsItsOwnLine) {
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

// Near Bethe's critical point of one lipid in the pair approximation the
// determinant scatters around 0: the simplex collapses onto the point and
// the search stops there with a record instead of running out of budget.
TEST(TaskCrit, StopsWhenTheSimplexCollapses) {
  const Calc c("pa crit 2 310 -250 0 3850 10 0 0 0 0 0 0 0 0.3 0 0 0 0 310 400 1 T");
  ASSERT_EQ(c.r.status, 0) << c.r.err;
  ASSERT_EQ(c.records.size(), 1u);  // one point only, whatever the sweep
  const std::vector<std::string> f = Fields(c.records[0]);  // T dH conc det p1 p2 fret iter
  ASSERT_EQ(f.size(), 8u);
  EXPECT_NEAR(std::stod(f[0]), 250 / (2 * std::log(1.5)), 0.05);  // exp(-w / 2Tc) = 6/4
  EXPECT_EQ(c.r.err.rfind("amoeba: simplex collapsed at (3832.", 0), 0u) << c.r.err;
}

}  // namespace
}  // namespace chainmelt::testing
