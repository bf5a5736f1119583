#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "driver/cli.hpp"
#include "driver/driver.hpp"

namespace chainmelt {
namespace {

// A valid command line with the given positions (1-based) replaced.
std::vector<std::string> Args(const std::map<int, std::string>& changes = {}) {
  std::vector<std::string> a = {"pa", "phase", "1", "300", "0", "0", "3000", "10",
                                "0",  "0",     "0", "0",   "0", "0", "0",    "0",
                                "0",  "0",     "0", "0",   "300", "301", "0.5", "T"};
  for (const auto& [pos, text] : changes) a[static_cast<std::size_t>(pos - 1)] = text;
  return a;
}

TEST(CommandLine, FillsEveryTargetInArgumentOrder) {
  std::vector<std::string> a;
  a.push_back("  xy z");
  a.push_back(" heat ");
  a.push_back("2");
  for (int pos = 4; pos <= 23; ++pos) a.push_back(std::to_string(pos));
  a.push_back("  H ");
  RunState rs;
  ASSERT_EQ(ParseCommandLine(a, rs).action, CliAction::kRun);
  const Para& p = rs.para;
  const double got[] = {rs.T,   p.w,    p.w2,    p.dH, p.dS,  p.Tm,   p.dHcal,
                        p.e2,   p.w3,   p.dH2,   p.dS2, p.zsave, p.conc, p.conc2,
                        p.z,    p.nu,   p.mode,  rs.T_min, rs.T_max, rs.dT};
  for (int pos = 4; pos <= 23; ++pos) EXPECT_EQ(got[pos - 4], pos) << ArgName(pos);
  // Words are taken as their first blank-delimited word.
  EXPECT_EQ(rs.approx, "xy");
  EXPECT_EQ(rs.task, "heat");
  EXPECT_EQ(rs.n0, 2);
  EXPECT_EQ(p.sweep, "H");
}

// w = 2, dHcal = 10, Tm = 5: dH = 10 - b*2, dS = 2 replacing the given 7.
TEST(CommandLine, DerivesDhAndDsOnlyWhenDhIsExactlyZero) {
  auto parsed = [](const std::string& n0, const std::string& dH, const std::string& Tm) {
    RunState rs;
    const CliResult r = ParseCommandLine(
        Args({{3, n0}, {5, "2"}, {7, dH}, {8, "7"}, {9, Tm}, {10, "10"}}), rs);
    EXPECT_EQ(r.action, CliAction::kRun) << r.message;
    return std::make_pair(rs.para.dH, rs.para.dS);
  };
  EXPECT_EQ(parsed("1", "0", "5"), std::make_pair(9.0, 2.0));
  EXPECT_EQ(parsed("4", "0", "5"), std::make_pair(4.0, 2.0));
  EXPECT_EQ(parsed("1", "1e-300", "0"), std::make_pair(1e-300, 7.0));
}

// Control characters and long texts are shown so the message stays one line.
TEST(CommandLine, MessagesStayOnOneLine) {
  RunState rs;
  EXPECT_EQ(ParseCommandLine(Args({{7, "1\n2\t\x01"}}), rs).message,
            "argument 7 (dH): expected a number, got '1\\n2\\t\\x01'");
  EXPECT_EQ(ParseCommandLine(Args({{2, std::string(500, 'q')}}), rs).message,
            "argument 2 (task): expected one of the tasks size, heat, crit, phase, coexist, got '" +
                std::string(60, 'q') + "...' (500 characters)");
}

TEST(CommandLine, UsageNamesEveryArgumentAndItsExampleRuns) {
  const std::string usage = UsageText();
  for (int pos = 1; pos <= kNumArgs; ++pos) {
    const std::string entry = (pos < 10 ? "   " : "  ") + std::to_string(pos) + " " + ArgName(pos);
    EXPECT_NE(usage.find(entry), std::string::npos) << entry;
  }
  for (const char* word : {"size", "heat", "crit", "phase", "coexist", "Exit status", "42.1"})
    EXPECT_NE(usage.find(word), std::string::npos) << word;

  const std::size_t at = usage.find("\n  chainmelt ");
  ASSERT_NE(at, std::string::npos);
  std::istringstream example(usage.substr(at + 13, usage.find('\n', at + 1) - at - 13));
  std::vector<std::string> words;
  for (std::string w; example >> w;) words.push_back(w);
  RunState rs;
  const CliResult r = ParseCommandLine(words, rs);
  EXPECT_EQ(r.action, CliAction::kRun) << r.message;
}

TEST(Driver, CloseCheckedReportsLostWrites) {
  EXPECT_TRUE(CloseChecked(nullptr));
  std::FILE* ok = std::tmpfile();
  ASSERT_NE(ok, nullptr);
  std::fputs("record \n", ok);
  EXPECT_TRUE(CloseChecked(ok));

  std::FILE* full = std::fopen("/dev/full", "w");
  if (full == nullptr) GTEST_SKIP() << "no /dev/full";
  std::setvbuf(full, nullptr, _IOLBF, BUFSIZ);
  std::fputs("record \n", full);
  EXPECT_FALSE(CloseChecked(full));
}

}  // namespace
}  // namespace chainmelt
