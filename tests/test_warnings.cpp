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

// Each run warns once on standard error (never on standard output, which
// holds the progress lines or the records) and goes on (exit 0): classic and
// named forms and parameter files; the trigger is named (Tm first, then the
// energies; the fixed temperature of a dH sweep counts, and w alone puts the
// model on the kelvin scale).  No false alarms: the same run without the
// mistake, reduced units (temperatures near 3, energies of a few units), a dH
// sweep with dH and dHcal 0 (the sweep sets dH), and a sweep that reaches
// above 150.
TEST(InputWarnings, OnceOnStandardErrorWhereTheInputLooksWrongOnly) {
  TempDir tmp;
  WriteFile(tmp.file("c.toml"), "task = \"phase\"\nn0 = 2\nTm = 314.55\ndHcal = 2200\n"
                                "w = -240\nconc = 0.21\nT-sweep = [20, 60, 1]\n");
  const struct {
    std::string args, warning;
  } cases[] = {
      {"pa heat 2 314 -240 0 0 0 314 0 0 0 0 0 0 0 0 0 0 0 300 305 1 T", kNothingMelts},
      {"pa heat 2 41.4 -240 0 0 0 41.4 2200 0 0 0 0 0 0 0 0 0 0 20 60 0.5 T",
       Celsius("dHcal = 2200 K")},
      {"pa heat 2 314 -240 0 0 0 314 2200 0 0 0 0 0 0 0 0 0 0 300 305 1 T", ""},
      {"run --task heat --n0 2 --Tm 314 --w -240 --T-sweep 300:310:1", kNothingMelts},
      {"run --task heat --n0 2 --Tm 41.4 --dHcal 2200 --w -240 --T-sweep 20:60:0.5",
       Celsius("dHcal = 2200 K")},
      {"run c.toml --format csv", Celsius("Tm = 314.55 K")},
      {"run --task phase --n0 2 --T 41 --w -240 --dH 1 --dS 7 --conc 0.21 "
       "--dH-sweep 2000:2200:100",
       Celsius("w = -240 K")},
      {"run --task coexist --n0 4 --w -4 --dH 30 --dS 8 --conc 0.1 --T-sweep 2.8:3.2:0.1", ""},
      {"run --task heat --n0 2 --w -1 --dH 10 --dS 3.2 --T-sweep 2.8:3.4:0.1", ""},
      {"run --task heat --n0 2 --Tm 314 --dHcal 2200 --w -240 --T-sweep 300:320:1", ""},
      {"run --task phase --n0 2 --T 310 --w -240 --Tm 314 --conc 0.21 "
       "--dH-sweep 2800:3000:100",
       ""},
      {"run --task heat --n0 2 --Tm 314 --dHcal 2200 --w -240 --T-sweep 100:160:10", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const RunResult r = RunChainmelt(Fields(c.args), tmp.path().string());
    EXPECT_EQ(r.status, 0) << r.err;
    if (c.args[0] == 'p' || c.args.find("csv") != std::string::npos) {
      EXPECT_EQ(r.out.find("warning"), std::string::npos);
    }
    if (c.warning.empty()) {
      EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
    } else {
      EXPECT_EQ(Count(r.err, c.warning), 1u) << r.err;
    }
  }
  // The classic run with the warning still wrote its records.
  RunChainmelt(Fields(cases[0].args), tmp.path().string());
  EXPECT_EQ(Lines(ReadFile(tmp.file("output.out"))).size(), 6u);
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
