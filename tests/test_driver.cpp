// The command line and the sweep driver, mostly through the real binary.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "driver/cli.hpp"
#include "driver/driver.hpp"
#include "e2e_util.hpp"

namespace chainmelt::testing {
namespace {

using Changes = std::map<int, std::string>;

// A cheap valid run (mean-field model, dH - T*dS = 0 at T = 300) with the
// given positions (1-based) replaced.
std::vector<std::string> Args(const Changes& changes = {}) {
  std::vector<std::string> a = {"pa", "phase", "1", "300", "0", "0", "3000", "10",
                                "0",  "0",     "0", "0",   "0", "0", "0",    "0",
                                "0",  "0",     "0", "0",   "300", "301", "0.5", "T"};
  for (const auto& [pos, text] : changes) a[static_cast<std::size_t>(pos - 1)] = text;
  return a;
}

// The driver's own progress lines (tasks may print lines of their own).
std::vector<std::string> ProgressLines(const std::string& out) {
  std::vector<std::string> r;
  for (const auto& line : Lines(out))
    if (line.rfind("T = ", 0) == 0 || line.rfind("H = ", 0) == 0) r.push_back(line);
  return r;
}

std::vector<std::string> DirEntries(const TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(CommandLine, ReadsEveryArgumentAndDerivesDhAndDs) {
  std::vector<std::string> a = {"  xy z", " heat ", "2"};
  for (int pos = 4; pos <= 23; ++pos) a.push_back(std::to_string(pos));
  a.push_back("  H ");
  RunState rs;
  ASSERT_EQ(ParseCommandLine(a, rs).action, CliAction::kRun);
  const Para& p = rs.para;
  const double got[] = {rs.T,  p.w,   p.w2,  p.dH,    p.dS,   p.Tm,    p.dHcal,
                        p.e2,  p.w3,  p.dH2, p.dS2,   p.zsave, p.conc, p.conc2,
                        p.z,   p.nu,  p.mode, rs.T_min, rs.T_max, rs.dT};
  for (int pos = 4; pos <= 23; ++pos) EXPECT_EQ(got[pos - 4], pos) << ArgName(pos);
  EXPECT_EQ(rs.n0, 2);
  // Words are taken as their first blank-delimited word.
  EXPECT_EQ(rs.approx, "xy");
  EXPECT_EQ(rs.task, "heat");
  EXPECT_EQ(p.sweep, "H");

  // w = 2, dHcal = 10, Tm = 5: with dH given as exactly 0, dH = 10 - 2 (n0 = 1)
  // or 10 - 6 (n0 = 4) and dS = 2 replaces the given 7.
  const struct {
    const char *n0, *dH, *Tm;
    double dH_out, dS_out;
  } derive[] = {{"1", "0", "5", 9, 2}, {"4", "0", "5", 4, 2}, {"1", "1e-300", "0", 1e-300, 7}};
  for (const auto& c : derive) {
    RunState d;
    const auto changes = Changes{{3, c.n0}, {5, "2"}, {7, c.dH}, {8, "7"}, {9, c.Tm}, {10, "10"}};
    ASSERT_EQ(ParseCommandLine(Args(changes), d).action, CliAction::kRun);
    EXPECT_EQ(d.para.dH, c.dH_out) << c.n0 << " " << c.dH;
    EXPECT_EQ(d.para.dS, c.dS_out) << c.n0 << " " << c.dH;
  }
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
  EXPECT_EQ(ParseCommandLine(words, rs).action, CliAction::kRun);
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

TEST(DriverE2E, SweepPointsSelectorsAndOneShotTasks) {
  const std::string t300 = "T = 300.000000 Task: phase", t301 = "T = 301.000000 Task: phase";
  const struct {
    Changes changes;
    std::size_t count;
    std::string first, last;
  } cases[] = {
      {{}, 3, t300, t301},
      {{{21, "300"}, {22, "300"}}, 1, t300, t300},
      // 0.1 added 18 times overshoots 1.9 slightly: the sweep value is
      // accumulated, so there are 19 points where T_min + k*dT would give 20.
      {{{21, "0.1"}, {22, "2.0"}, {23, "0.1"}, {24, "H"}}, 19, "H = 0.100000 Task: phase",
       "H = 1.900000 Task: phase"},
      {{{21, "2990"}, {22, "3000"}, {23, "10"}, {24, "H"}}, 2, "H = 2990.000000 Task: phase",
       "H = 3000.000000 Task: phase"},
      {{{23, "1"}, {24, "h"}}, 2, t300, t301},
      {{{23, "1"}, {24, "HH"}}, 2, t300, t301},
      {{{23, "1"}, {24, "Hx"}}, 2, t300, t301},
      {{{23, "1"}, {24, ""}}, 2, t300, t301},
      {{{2, "size"}, {22, "302"}, {23, "1"}}, 1, "T = 300.000000 Task: size",
       "T = 300.000000 Task: size"},
      // Far above the transition the determinant hardly changes over the
      // simplex, so the search ends at once.
      {{{2, "crit"}, {3, "2"}, {7, "1"}, {8, "0"}, {21, "1000000"}, {22, "1000010"}, {23, "1"}},
       1, "T = 1000000.000000 Task: crit", "T = 1000000.000000 Task: crit"},
      // What only looks odd: Tm = 0 is unused when dH is given; the
      // alternative mode with n0 = 2; negative dH values; long words; signs,
      // blanks and hexadecimal numbers.
      {{{7, "5"}, {9, "0"}}, 3, t300, t301},
      {{{3, "2"}, {20, "42.1"}}, 3, t300, t301},
      {{{21, "-10"}, {22, "-10"}, {24, "H"}}, 1, "H = -10.000000 Task: phase",
       "H = -10.000000 Task: phase"},
      {{{1, std::string(300, 'a')}, {24, std::string(300, 'b')}}, 3, t300, t301},
      {{{3, "+2"}, {7, " 3e3 "}, {16, "0.3"}, {21, "0x12c"}, {22, "0x12c"}}, 1, t300, t300},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const RunResult r = RunChainmelt(Args(c.changes), dir.path().string());
    const auto lines = ProgressLines(r.out);
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(lines.size(), c.count) << r.out;
    EXPECT_EQ(lines.front(), c.first);
    EXPECT_EQ(lines.back(), c.last);
    if (c.count == 3) {
      EXPECT_EQ(lines[1], "T = 300.500000 Task: phase");
    }
    EXPECT_EQ(DirEntries(dir),
              (std::vector<std::string>{"output.out", "output1.out", "output2.out"}));
  }
}

// Every refusal: status 2, one line naming the argument, no file created or
// changed.
TEST(DriverE2E, RejectedCommandLinesTouchNoFile) {
  std::vector<std::string> short_line = Args(), long_line = Args();
  short_line.pop_back();
  long_line.push_back("x");
  const std::string long_task(500, 'q');
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "expected 24 arguments, got 0 (see 'chainmelt --help')"},
      {short_line, "expected 24 arguments, got 23 (see 'chainmelt --help')"},
      {long_line, "expected 24 arguments, got 25 (see 'chainmelt --help')"},
      {Args({{7, "abc"}}), "argument 7 (dH): expected a number, got 'abc'"},
      {Args({{5, ""}}), "argument 5 (w): expected a number, got ''"},
      {Args({{18, "1.5x"}}), "argument 18 (z): expected a number, got '1.5x'"},
      // Control characters and long texts are shown so the message stays one line.
      {Args({{7, "1\n2\t\x01"}}), "argument 7 (dH): expected a number, got '1\\n2\\t\\x01'\n"},
      {Args({{2, long_task}}), "argument 2 (task): expected one of the tasks size, heat, crit, "
                               "phase, coexist, got '" + long_task.substr(0, 60) +
                                   "...' (500 characters)\n"},
      {Args({{11, "nan"}}), "argument 11 (e2): expected a finite number"},
      {Args({{12, "-inf"}}), "argument 12 (w3): expected a finite number"},
      {Args({{13, "1e999"}}), "argument 13 (dH2): expected a finite number"},
      {Args({{14, "1e-400"}}), "argument 14 (dS2): expected a finite number"},
      {Args({{2, "Phase"}}), "argument 2 (task): expected one of the tasks"},
      {Args({{3, "3"}}), "argument 3 (n0): expected one of the model variants 1, 2, 4, 5, 8"},
      {Args({{3, "2.0"}}), "argument 3 (n0): expected one of the model variants"},
      {Args({{3, "4"}, {20, "42.1"}}), "argument 20 (mode): expected a value other than 42.1"},
      {Args({{2, "crit"}}), "argument 3 (n0): expected 2, 4, 5 or 8 for task crit"},
      {Args({{2, "coexist"}, {16, "1"}}), "argument 16 (conc): expected a value other than 1"},
      {Args({{7, "0"}, {9, "0"}, {10, "4400"}}), "argument 9 (Tm): expected a non-zero value"},
      {Args({{21, "301"}, {22, "300"}}), "argument 22 (T_max): expected a value not below T_min"},
      {Args({{23, "0"}}), "argument 23 (dT): expected a positive step, got '0'"},
      {Args({{23, "-0.5"}}), "argument 23 (dT): expected a positive step, got '-0.5'"},
      {Args({{23, "1e-20"}}), "argument 23 (dT): expected a step large enough"},
      {Args({{21, "0"}}), "argument 21 (T_min): expected a positive temperature"},
      {Args({{4, "-300"}, {24, "H"}}), "argument 4 (T): expected a positive temperature"},
      {Args({{2, "size"}, {21, "-5"}, {24, "H"}}), "argument 21 (T_min): expected a positive"},
  };
  const std::string kept = "1.000000 2.000000 \nkept \n";
  for (const auto& [args, message] : cases) {
    TempDir dir;
    WriteFile(dir.file("output.out"), kept);
    const RunResult r = RunChainmelt(args, dir.path().string());
    EXPECT_EQ(r.status, 2) << message;
    EXPECT_EQ(r.err.rfind("chainmelt: " + message, 0), 0u) << r.err;
    EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(ReadFile(dir.file("output.out")), kept) << message;
    EXPECT_EQ(DirEntries(dir), std::vector<std::string>{"output.out"}) << message;
  }
}

TEST(DriverE2E, UncreatableOutputHelpAndVersion) {
  TempDir dir;
  std::filesystem::create_directory(dir.path() / "output.out");
  const RunResult r = RunChainmelt(Args(), dir.path().string());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "ERROR opening file output.out \n");
  EXPECT_EQ(r.err, "");

  TempDir empty;
  const RunResult h = RunChainmelt({"-h"}, empty.path().string());
  EXPECT_EQ(h.status, 0);
  EXPECT_EQ(h.out.rfind("Usage: chainmelt ", 0), 0u);
  const RunResult v = RunChainmelt({"--version"}, empty.path().string());
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out, std::string("chainmelt ") + CHAINMELT_VERSION + "\n");
  EXPECT_TRUE(DirEntries(empty).empty());
}

// Malformed command lines from a fixed seed: wrong counts, unusable settings,
// unreadable fields (garbage bytes, NaN/inf, out-of-range numbers) and long
// words.  Every one is refused with status 2 and one message line, without
// creating or changing any file.
TEST(DriverE2E, RandomMalformedCommandLinesAreRefused) {
  std::mt19937 gen(20240611u);
  auto pick = [&gen](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(gen); };
  auto bytes = [&](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += static_cast<char>(pick(1, 255));
    return s;
  };
  const std::string unreadable[] = {
      "", " ", "nan", "-nan", "NAN(1)", "inf", "-Infinity", "1e999", "-1e400", "1e-400",
      std::string(400, '9'), "1.2.3", "0x", "--", "1e", "3,5", "\n", "300K", "e5", "."};
  const Changes unusable[] = {
      {{21, "400"}}, {{23, "-1e-300"}}, {{23, "1e-14"}}, {{3, "8"}, {20, "42.1"}},
      {{2, "crit"}}, {{2, "coexist"}, {16, "1"}}, {{21, "-1e300"}}, {{3, "2.5"}},
      {{3, "1e0"}}, {{3, "9"}}, {{2, "sizes"}}, {{2, "--help"}}, {{2, std::string(5000, 'p')}}};
  const std::string kept = "previous results \n";
  for (int run = 0; run < 300; ++run) {
    std::vector<std::string> a = Args();
    const int kind = pick(0, 2);
    if (kind == 0) {  // wrong number of arguments
      const int n = pick(0, 40);
      a.resize(n == 24 ? 25 : static_cast<std::size_t>(n), "1");
    } else if (kind == 1) {  // readable, but a setting the run cannot use
      a = Args(unusable[pick(0, 12)]);
    } else {  // one to three unreadable fields
      for (int k = pick(1, 3); k > 0; --k)
        a[pick(1, 22)] = pick(0, 1) ? unreadable[pick(0, 19)] : "x" + bytes(pick(0, 200));
    }
    if (a.size() == 24 && pick(0, 2) == 0) {  // long words where any word is fine
      a[0] = bytes(pick(100, 3000));
      a[23] = "w" + bytes(pick(100, 3000));
    }
    TempDir dir;
    WriteFile(dir.file("output.out"), kept);
    const RunResult r = RunChainmelt(a, dir.path().string(), 20);
    ASSERT_EQ(r.status, 2) << "run " << run << ": " << r.err;
    ASSERT_EQ(Lines(r.err).size(), 1u) << "run " << run << ": " << r.err;
    ASSERT_EQ(r.err.rfind("chainmelt: ", 0), 0u) << r.err;
    ASSERT_EQ(r.out, "");
    ASSERT_EQ(ReadFile(dir.file("output.out")), kept);
    ASSERT_EQ(DirEntries(dir), std::vector<std::string>{"output.out"});
  }
}

}  // namespace
}  // namespace chainmelt::testing
