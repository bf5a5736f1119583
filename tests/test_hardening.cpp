// Command lines that pass the checks of a careless reading and then go
// wrong: each must end quickly with its sound result.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "e2e_util.hpp"

namespace chainmelt::testing {
namespace {

// |E| >= 2^47: E +- 0.01 rounds to E and the bracket cannot grow.  A crit
// search at the order-1 scale used to reach T < 0.
TEST(Hardening, CoexistAndCritStayInsideTheModel) {
  const Calc coexist("pa coexist 4 3 -4 0 30 1e14 0 0 0 0 0 0 0 0.1 0 0 0 0 3 3 1 T", 20);
  EXPECT_EQ(coexist.r.status, 0);
  EXPECT_TRUE(coexist.records.empty());
  EXPECT_NE(coexist.r.err.find("coexist at T = 3.000000: no record, the trial values of dH"),
            std::string::npos) << coexist.r.err;

  const Calc crit("pa crit 2 3 -4 0 30 8 0 0 0 0 0 0 0 0.01 0 0 0 0 3 3 1 T", 60);
  EXPECT_EQ(crit.r.status, 0) << crit.r.err;
  for (const auto& rec : crit.records) EXPECT_GT(std::stod(Fields(rec)[0]), 0.0) << rec;
  for (const auto& line : Lines(crit.r.out)) {
    if (line.rfind("2 amoeba T", 0) != 0) continue;
    for (std::size_t i = 3; i < Fields(line).size(); ++i)
      EXPECT_GT(std::stod(Fields(line)[i]), 0.0) << line;
  }
}

// Far below the transition the two families can both miss the gel minimum:
// the records stay as they are, each such record gets a warning and the run
// a count of them.  The same run in the equilibrium range has none.
TEST(Hardening, RecordsAboveALowerStateAreWarnedAbout) {
  const Calc low("pa phase 2 314 -300 0 0 0 314 2165 0 0 0 0 0 0.21 0 0 0 0 10 600 10 T");
  EXPECT_EQ(low.r.status, 0);
  ASSERT_EQ(low.records.size(), 60u);
  EXPECT_EQ(low.records[0], "10.000000 0.083452 0.083452 180.662887 3 ");
  EXPECT_NE(low.r.err.find("phase at T = 10.000000: the record may not be the equilibrium state: "
                           "the almost pure gel state has the lower F = 0.000003 (chainmelt run, "
                           "the named form, finds the lowest minimum by default)\n"),
            std::string::npos);
  EXPECT_NE(low.r.err.find("chainmelt: 15 warning(s) about records"), std::string::npos);
  // The named form's classic search names the search that finds it.
  TempDir dir;
  const RunResult named = RunChainmelt(
      Fields("run --search classic --task phase --n0 2 --w -300 --Tm 314 --dHcal 2165 "
             "--conc 0.21 --T-sweep 10:20:10"),
      dir.path().string());
  EXPECT_EQ(named.status, 0);
  EXPECT_NE(named.err.find("the lower F = 0.000003 (--search equilibrium finds the lowest "
                           "minimum)\n"),
            std::string::npos) << named.err;
  const Calc size("pa size 1 300 -1000 0 0 0 314 2200 0 0 30 0 0 0 0 1 0 0 290 290.02 0.001 T");
  EXPECT_NE(size.r.err.find("size: dT = 0.001 is below 0.00"), std::string::npos) << size.r.err;
}

TEST(Hardening, FileFaultsAreToldAndStopTheRun) {
  const std::string run = "pa phase 1 300 0 0 3000 10 0 0 0 0 0 0 0 0 0 0 0 0 300 301 0.5 T";
  {  // A refused open leaves output1.out and output2.out alone and says why.
    TempDir dir;
    std::filesystem::create_directory(dir.path() / "output.out");
    WriteFile(dir.file("output1.out"), "kept");
    const RunResult r = RunChainmelt(Fields(run), dir.path().string());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERROR opening file output.out \n");
    EXPECT_EQ(r.err, "chainmelt: cannot open output.out: Is a directory\n");
    EXPECT_EQ(ReadFile(dir.file("output1.out")), "kept");
  }
  {  // A FIFO without a reader is refused at once.
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("output.out").c_str(), 0600), 0);
    const RunResult r = RunChainmelt(Fields(run), dir.path().string(), 10);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "chainmelt: cannot open output.out: it is a FIFO with no reader\n");
  }
  {  // lost progress lines on standard output (a full device of our own)
    TempDir dir;
    if (const std::string why = MakeDevice(dir.file("full"), 7); !why.empty()) {
      std::printf("skipped: %s\n", why.c_str());
      return;
    }
    const RunResult r = RunChainmelt(Fields(run), dir.path().string(), 20, dir.file("full"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "chainmelt: error writing standard output: No space left on device\n");
  }
}

}  // namespace
}  // namespace chainmelt::testing
