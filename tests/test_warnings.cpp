// Inputs that are accepted but almost always a mistake (nothing melts;
// temperatures given in degrees Celsius) get one warning line in every form,
// through the real binary; the classic form's output bytes stay the same.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_util.hpp"

namespace chainmelt::testing {
namespace {

constexpr const char* kNothingMelts =
    "warning: dH and dHcal are both 0: nothing melts; give dHcal (and Tm) or dH and dS\n";

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++n;
  return n;
}

std::string Celsius(const std::string& scale) {
  return "warning: temperatures look like degrees Celsius (all below 150 K while " + scale +
         "): chainmelt works in kelvin\n";
}

std::vector<std::string> Classic(const std::string& line) { return Fields(line); }

std::vector<std::string> Named(const std::string& options) {
  std::vector<std::string> a = {"run"};
  for (const std::string& w : Fields(options)) a.push_back(w);
  return a;
}

// Classic form: the warning goes to standard error once, standard output
// holds the progress lines only, output.out the records; the same run
// without the mistake writes no warning.
TEST(InputWarnings, ClassicFormWarnsOnStandardErrorOnly) {
  TempDir tmp;
  const RunResult melt = RunChainmelt(
      Classic("pa heat 2 314 -240 0 0 0 314 0 0 0 0 0 0 0 0 0 0 0 300 305 1 T"),
      tmp.path().string());
  EXPECT_EQ(melt.status, 0) << melt.err;
  EXPECT_EQ(Count(melt.err, kNothingMelts), 1u) << melt.err;
  EXPECT_EQ(melt.out.find("warning"), std::string::npos);
  EXPECT_EQ(Lines(ReadFile(tmp.file("output.out"))).size(), 6u);

  const RunResult celsius = RunChainmelt(
      Classic("pa heat 2 41.4 -240 0 0 0 41.4 2200 0 0 0 0 0 0 0 0 0 0 20 60 0.5 T"),
      tmp.path().string());
  EXPECT_EQ(celsius.status, 0) << celsius.err;
  EXPECT_EQ(Count(celsius.err, Celsius("dHcal = 2200 K")), 1u) << celsius.err;
  EXPECT_EQ(celsius.out.find("warning"), std::string::npos);

  const RunResult good = RunChainmelt(
      Classic("pa heat 2 314 -240 0 0 0 314 2200 0 0 0 0 0 0 0 0 0 0 300 305 1 T"),
      tmp.path().string());
  EXPECT_EQ(good.status, 0) << good.err;
  EXPECT_EQ(good.err.find("warning"), std::string::npos) << good.err;
}

// Named form and parameter file: the same lines, once each, and the run goes
// on (exit 0); the trigger is named (Tm first, then the energies).
TEST(InputWarnings, NamedFormAndParameterFiles) {
  TempDir tmp;
  const RunResult melt =
      RunChainmelt(Named("--task heat --n0 2 --Tm 314 --w -240 --T-sweep 300:310:1"),
                   tmp.path().string());
  EXPECT_EQ(melt.status, 0) << melt.err;
  EXPECT_EQ(Count(melt.err, kNothingMelts), 1u) << melt.err;

  const RunResult celsius = RunChainmelt(
      Named("--task heat --n0 2 --Tm 41.4 --dHcal 2200 --w -240 --T-sweep 20:60:0.5"),
      tmp.path().string());
  EXPECT_EQ(celsius.status, 0) << celsius.err;
  EXPECT_EQ(Count(celsius.err, Celsius("dHcal = 2200 K")), 1u) << celsius.err;

  WriteFile(tmp.file("c.toml"), "task = \"phase\"\nn0 = 2\nTm = 314.55\ndHcal = 2200\n"
                                "w = -240\nconc = 0.21\nT-sweep = [20, 60, 1]\n");
  const RunResult file = RunChainmelt({"run", "c.toml", "--format", "csv"}, tmp.path().string());
  EXPECT_EQ(file.status, 0) << file.err;
  EXPECT_EQ(Count(file.err, Celsius("Tm = 314.55 K")), 1u) << file.err;
  EXPECT_EQ(file.out.find("warning"), std::string::npos);

  // The fixed temperature of a dH sweep counts; w alone puts the model on
  // the kelvin scale.
  const RunResult fixed = RunChainmelt(
      Named("--task phase --n0 2 --T 41 --w -240 --dH 1 --dS 7 --conc 0.21 "
            "--dH-sweep 2000:2200:100"),
      tmp.path().string());
  EXPECT_EQ(fixed.status, 0) << fixed.err;
  EXPECT_EQ(Count(fixed.err, Celsius("w = -240 K")), 1u) << fixed.err;
}

// No false alarms: reduced units (temperatures near 3, energies of a few
// units), the kelvin-scale examples, a dH sweep with dH and dHcal 0 (the
// sweep sets dH), and a sweep that reaches above 150.
TEST(InputWarnings, NoWarningWhereTheInputIsPlausible) {
  TempDir tmp;
  for (const std::string options :
       {"--task coexist --n0 4 --w -4 --dH 30 --dS 8 --conc 0.1 --T-sweep 2.8:3.2:0.1",
        "--task heat --n0 2 --w -1 --dH 10 --dS 3.2 --T-sweep 2.8:3.4:0.1",
        "--task heat --n0 2 --Tm 314 --dHcal 2200 --w -240 --T-sweep 300:320:1",
        "--task phase --n0 2 --T 310 --w -240 --Tm 314 --conc 0.21 --dH-sweep 2800:3000:100",
        "--task heat --n0 2 --Tm 314 --dHcal 2200 --w -240 --T-sweep 100:160:10"}) {
    SCOPED_TRACE(options);
    const RunResult r = RunChainmelt(Named(options), tmp.path().string());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("warning: dH and dHcal"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("degrees Celsius"), std::string::npos) << r.err;
  }
}

// A batch keeps each run's warnings with that run (classic and @file lines).
TEST(InputWarnings, BatchRunsKeepTheirWarnings) {
  TempDir tmp;
  WriteFile(tmp.file("m.toml"), "task = \"heat\"\nn0 = 2\nTm = 314\nw = -240\n"
                                "T-sweep = [300, 302, 1]\n");
  WriteFile(tmp.file("runs.txt"),
            "pa heat 2 314 -240 0 0 0 314 0 0 0 0 0 0 0 0 0 0 0 300 302 1 T\n"
            "@m.toml\n"
            "pa heat 2 314 -240 0 0 0 314 2200 0 0 0 0 0 0 0 0 0 0 300 302 1 T\n");
  const RunResult r = RunChainmelt({"batch", "runs.txt", "--out-dir", "res"}, tmp.path().string());
  EXPECT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> rows = Lines(ReadFile(tmp.file("res/runs.tsv")));
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_NE(rows[1].find("nothing melts"), std::string::npos) << rows[1];
  EXPECT_NE(rows[2].find("nothing melts"), std::string::npos) << rows[2];
  EXPECT_EQ(rows[3].find("nothing melts"), std::string::npos) << rows[3];
}

}  // namespace
}  // namespace chainmelt::testing
