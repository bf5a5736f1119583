// The equilibrium curve through the real binary: the command lines that went
// wrong when every point was searched on its own (latent heats where nothing
// jumps, a latent heat counted twice, runs ended by one failed start, n0 = 5
// coexistence and critical point), and records that do not depend on the
// number of threads.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "e2e_util.hpp"

namespace chainmelt {
namespace {

using testing::Fields;
using testing::Lines;
using testing::ReadFile;
using testing::RunChainmelt;
using testing::TempDir;

// A run of the named form writing a TSV table; its records by column name.
struct Table {
  explicit Table(const std::string& args, int timeout_s = 300) {
    std::vector<std::string> argv = Fields("run " + args + " -o out.tsv");
    r = RunChainmelt(argv, dir.path().string(), timeout_s);
    text = ReadFile(dir.file("out.tsv"));
    bool header = false;
    for (const std::string& line : Lines(text)) {
      if (line.empty() || line[0] == '#') continue;
      const std::vector<std::string> f = Fields(line);
      if (!header) {
        for (std::size_t i = 0; i < f.size(); ++i) col[f[i]] = i;
        header = true;
        continue;
      }
      std::vector<double> row;
      for (const std::string& s : f) row.push_back(std::stod(s));
      rows.push_back(row);
    }
  }
  double at(std::size_t row, const std::string& name) const {
    const auto it = col.find(name);
    EXPECT_NE(it, col.end()) << name;
    return it == col.end() ? NAN : rows[row][it->second];
  }
  int Count(const std::string& what) const {
    int n = 0;
    for (std::size_t p = r.err.find(what); p != std::string::npos; p = r.err.find(what, p + 1)) ++n;
    return n;
  }
  TempDir dir;
  testing::RunResult r;
  std::string text;
  std::map<std::string, std::size_t> col;
  std::vector<std::vector<double>> rows;
};

const char* const kMixture5 = "--n0 5 --w -300 --w2 -100 --w3 50 --e2 100 --dH 3500 --dS 11";

// One minimum all along: no latent heat, one branch, nothing on standard
// error but the progress lines.
TEST(CurveEndToEnd, AContinuousN5CurveHasNoTransition) {
  const Table t(std::string("--task heat ") + kMixture5 +
                " --T-sweep 279:282:0.25 --search equilibrium");
  ASSERT_EQ(t.r.status, 0) << t.r.err;
  ASSERT_EQ(t.rows.size(), 13u);
  EXPECT_EQ(t.Count("first-order transition"), 0) << t.r.err;
  for (std::size_t i = 0; i < t.rows.size(); ++i) {
    EXPECT_EQ(t.at(i, "dU"), 0.0);
    EXPECT_EQ(t.at(i, "T_jump"), 0.0);
    EXPECT_EQ(t.at(i, "branch"), t.at(0, "branch"));
    EXPECT_GT(t.at(i, "Cp"), 0.0);
  }
}

// Runs that one start beyond the iteration limit used to end with status 1.
TEST(CurveEndToEnd, AFailedStartNoLongerEndsTheRun) {
  const char* const commands[] = {
      "--task phase --n0 5 --w -1.8804 --w2 -0.9729 --Tm 3.1233 --dHcal 39.9351 --e2 -0.1015 "
      "--w3 -0.9703 --T-sweep 2.3125:2.3125:1 --search equilibrium",
      "--task heat --n0 8 --w -3 --conc2 0.4 --dH2 -3 --dS2 -1 --dH 35 --dS 11 "
      "--T-sweep 3.1796875:3.1796875:1 --search equilibrium"};
  for (const char* c : commands) {
    const Table t(c);
    EXPECT_EQ(t.r.status, 0) << c << "\n" << t.r.err;
    EXPECT_EQ(t.rows.size(), 1u) << c;
    EXPECT_EQ(t.r.err.find("Too many iterations"), std::string::npos) << t.r.err;
  }
}

const char* const kCoexist5 = "--n0 5 --w -250 --w2 -100 --w3 50 --e2 100 --dS 10 --dH 3000";

// Two distinct minima of equal free energy at 280 K, where the family search
// said "above the critical temperature"; the line goes on far above 291 K,
// where the simplex-free critical search used to stop.
TEST(CurveEndToEnd, N5CoexistenceAndCriticalPoint) {
  const Table c(std::string("--task coexist ") + kCoexist5 + " --T-sweep 280:280:1 --search robust");
  ASSERT_EQ(c.r.status, 0) << c.r.err;
  ASSERT_EQ(c.rows.size(), 1u) << c.r.err;
  const double Fg = c.at(0, "F_gel"), Ff = c.at(0, "F_fluid");
  EXPECT_NEAR(Fg, Ff, 1e-9 * std::fabs(Fg));
  EXPECT_GT(std::fabs(c.at(0, "x_f_fluid") - c.at(0, "x_f_gel")), 0.1);

  const Table k(std::string("--task crit ") + kCoexist5 +
                " --T-sweep 280.5:280.5:1 --search robust");
  ASSERT_EQ(k.r.status, 0) << k.r.err;
  ASSERT_EQ(k.rows.size(), 1u) << k.r.err;
  const double Tc = k.at(0, "T");
  EXPECT_GT(Tc, 400.0);
  EXPECT_LT(k.at(0, "rel_width"), 1e-5);
  // Coexistence a little below T_c, none a little above.
  char below[64], above[64];
  std::snprintf(below, sizeof below, " --T-sweep %.17g:%.17g:1", 0.99 * Tc, 0.99 * Tc);
  std::snprintf(above, sizeof above, " --T-sweep %.17g:%.17g:1", 1.01 * Tc, 1.01 * Tc);
  const Table b(std::string("--task coexist ") + kCoexist5 + below + " --search robust");
  const Table a(std::string("--task coexist ") + kCoexist5 + above + " --search robust");
  EXPECT_EQ(b.rows.size(), 1u) << b.r.err;
  EXPECT_EQ(a.rows.size(), 0u);
  EXPECT_NE(a.r.err.find("above the critical temperature"), std::string::npos) << a.r.err;
}

// n0 = 1 with a first-order jump: the latent heat once, at its crossing, and
// the heat capacity of the equilibrium state (no second difference across the
// jump): the trapezoids of Cp, closed at T_jump with the neighbouring
// point's Cp, plus the latent heat give U(end) - U(start).  The trapezoid's
// own error is far below the tolerance at this step; counting the latent
// heat twice was 86 % off.
TEST(CurveEndToEnd, AreaRuleOnAFineMeanFieldSweep) {
  const Table t("--task heat --n0 1 --w -1600 --Tm 314 --dHcal 2200 --T-sweep 300:330:0.0625 "
                "--search equilibrium");
  ASSERT_EQ(t.r.status, 0) << t.r.err;
  ASSERT_EQ(t.rows.size(), 481u);
  EXPECT_EQ(t.Count("first-order transition"), 1) << t.r.err;
  double area = 0.0;
  int jumps = 0;
  for (std::size_t i = 1; i < t.rows.size(); ++i) {
    const double T0 = t.at(i - 1, "T"), T1 = t.at(i, "T");
    const double c0 = t.at(i - 1, "Cp"), c1 = t.at(i, "Cp");
    const double dU = t.at(i, "dU");
    if (dU != 0.0) {
      const double Tj = t.at(i, "T_jump");
      EXPECT_GT(Tj, T0);
      EXPECT_LE(Tj, T1);
      EXPECT_GT(dU, 0.0);
      area += c0 * (Tj - T0) + dU + c1 * (T1 - Tj);
      ++jumps;
    } else {
      EXPECT_EQ(t.at(i, "T_jump"), 0.0);
      area += 0.5 * (c0 + c1) * (T1 - T0);
    }
  }
  EXPECT_EQ(jumps, 1);
  const double change = t.at(t.rows.size() - 1, "U") - t.at(0, "U");
  EXPECT_NEAR(area, change, 1e-4 * std::fabs(change));
}

// Far from the transition at a fitted extreme (energies of 1e5 and more)
// the equilibrium is pure fluid to the last digit, where its Hessian cannot
// be formed: the point keeps its record, Cp 0 with a warning, instead of a
// record dropped for a Cp that is not a number.
TEST(CurveEndToEnd, AStateAtTheEdgeKeepsItsRecordWithAWarning) {
  const Table t("--task heat --n0 2 --w -55355.266959744826 --dH 816884.5488937818 "
                "--dS 1991.3037583956389 --T-sweep 327.875:328.125:0.25 --search equilibrium");
  ASSERT_EQ(t.r.status, 0) << t.r.err;
  ASSERT_EQ(t.rows.size(), 2u) << t.r.err;
  EXPECT_EQ(t.at(0, "Cp"), 0.0);
  EXPECT_GT(t.at(0, "x_f"), 1.0 - 1e-12);
  EXPECT_NE(t.r.err.find("heat at T = 327.875000: Cp written as 0"), std::string::npos) << t.r.err;
  EXPECT_EQ(t.r.err.find("not a finite number"), std::string::npos) << t.r.err;
}

// The same bytes at any number of threads (blocks of the curve do not follow
// the threads), for a sweep long enough to have several blocks and a jump.
TEST(CurveEndToEnd, RecordsDoNotDependOnTheThreads) {
  const std::string args = "--task heat --n0 2 --w -300 --Tm 314 --dHcal 2200 "
                           "--T-sweep 290:340:0.05 --search equilibrium --threads ";
  const Table one(args + "1");
  ASSERT_EQ(one.r.status, 0) << one.r.err;
  ASSERT_EQ(one.rows.size(), 1001u);
  auto body = [](const std::string& text) { return text.substr(text.find("\nT\t")); };
  for (const char* n : {"2", "3"}) {
    const Table many(args + n);
    EXPECT_EQ(body(many.text), body(one.text)) << n;
    EXPECT_EQ(many.r.err, one.r.err);
  }
}

}  // namespace
}  // namespace chainmelt
