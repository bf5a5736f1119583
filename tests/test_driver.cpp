// The command line and the sweep driver through the real binary.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "e2e_util.hpp"

namespace chainmelt::testing {
namespace {

using Changes = std::map<int, std::string>;

// A cheap valid run (mean-field model, dH - T*dS = 0 at T = 300) with the
// given positions (1-based) replaced.
std::vector<std::string> Args(const Changes& changes = {}) {
  std::vector<std::string> a =
      Fields("pa phase 1 300 0 0 3000 10 0 0 0 0 0 0 0 0 0 0 0 0 300 301 0.5 T");
  for (const auto& [pos, text] : changes) a[static_cast<std::size_t>(pos - 1)] = text;
  return a;
}

// A refused command line: status 2, one line on stderr starting with
// `message`, nothing on stdout, and an earlier output.out left as it was.
void ExpectRefused(const std::vector<std::string>& args, const std::string& message) {
  const std::string kept = "1.000000 2.000000 \nkept \n";
  TempDir dir;
  WriteFile(dir.file("output.out"), kept);
  const RunResult r = RunChainmelt(args, dir.path().string(), 20);
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_EQ(r.err.rfind("chainmelt: " + message, 0), 0u) << r.err;
  EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(ReadFile(dir.file("output.out")), kept);
  EXPECT_EQ(DirNames(dir.path()), std::vector<std::string>{"output.out"});
}

// The usage text and the version are printed, and nothing is written.
TEST(DriverE2E, HelpAndVersion) {
  TempDir dir;
  for (const std::string flag : {"--help", "-h", "--version"}) {
    const RunResult r = RunChainmelt({flag}, dir.path().string());
    EXPECT_EQ(r.status, 0) << flag;
    EXPECT_NE(r.out.find(flag == "--version" ? "chainmelt " : "  24 sweep "), std::string::npos)
        << r.out;
  }
  EXPECT_TRUE(DirNames(dir.path()).empty());
}

TEST(DriverE2E, SweepPointsSelectorsAndOddLookingArguments) {
  const std::string t300 = "T = 300.000000 Task: phase", t301 = "T = 301.000000 Task: phase";
  const struct {
    Changes changes;
    std::size_t count;
    std::string first, last;
  } cases[] = {
      // 0.1 added 18 times overshoots 1.9 slightly: the sweep value is
      // accumulated, so there are 19 points where T_min + k*dT would give 20.
      {{{21, "0.1"}, {22, "2.0"}, {23, "0.1"}, {24, "H"}}, 19, "H = 0.100000 Task: phase",
       "H = 1.900000 Task: phase"},
      {{{23, "1"}, {24, "h"}}, 2, t300, t301},  // any selector but H sweeps T
      {{{23, "0.5"}}, 3, t300, t301},            // 300, 300.5, 301
      // Long words, signs, blanks and hexadecimal numbers, the alternative
      // mode with n0 = 2.
      {{{1, std::string(300, 'a')}, {3, "+2"}, {7, " 3e3 "}, {16, "0.3"}, {20, "42.1"},
        {21, "0x12c"}, {22, "0x12c"}, {24, std::string(300, 'b')}},
       1, t300, t300},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const RunResult r = RunChainmelt(Args(c.changes), dir.path().string());
    const std::vector<std::string> lines = Lines(r.out);  // one progress line per point
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(lines.size(), c.count) << r.out;
    EXPECT_EQ(lines.front(), c.first);
    EXPECT_EQ(lines.back(), c.last);
    EXPECT_EQ(DirNames(dir.path()),
              (std::vector<std::string>{"output.out", "output1.out", "output2.out"}));
  }
}

TEST(DriverE2E, RejectedCommandLinesTouchNoFile) {
  const std::string long_task(500, 'q');
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "expected 24 arguments, got 0 (see 'chainmelt --help')"},
      // A misspelt subcommand is named as one; a classic line of the wrong
      // length (a task second) is told its count.
      {{"runn", "x.toml"}, "unknown subcommand 'runn' (did you mean run?); the subcommands are "
                           "run and batch, and the classic form takes 24 arguments"},
      {{"Batch", "runs.txt"}, "unknown subcommand 'Batch' (did you mean batch?)"},
      {{"plot", "d"}, "unknown subcommand 'plot'; the subcommands are run and batch"},
      {{"pa", "phase", "1", "300"}, "expected 24 arguments, got 4"},
      {Args({{7, "abc"}}), "argument 7 (dH): expected a number, got 'abc'"},
      // Control characters and long texts are shown so the message stays one line.
      {Args({{7, "1\n2\t\x01"}}), "argument 7 (dH): expected a number, got '1\\n2\\t\\x01'\n"},
      {Args({{2, long_task}}), "argument 2 (task): expected one of the tasks size, heat, crit, "
                               "phase, coexist, got '" + long_task.substr(0, 60) +
                                   "...' (500 characters)\n"},
      {Args({{14, "1e-400"}}), "argument 14 (dS2): expected a finite number"},
      {Args({{3, "2.0"}}), "argument 3 (n0): expected one of the model variants 1, 2, 4, 5, 8"},
      {Args({{3, "4"}, {20, "42.1"}}), "argument 20 (mode): expected a value other than 42.1"},
      {Args({{2, "crit"}}), "argument 3 (n0): expected 2, 4, 5 or 8 for task crit"},
      {Args({{2, "coexist"}, {16, "1"}}), "argument 16 (conc): expected a value other than 1"},
      {Args({{7, "0"}, {9, "0"}, {10, "4400"}}), "argument 9 (Tm): expected a non-zero value"},
      {Args({{21, "301"}, {22, "300"}}), "argument 22 (T_max): expected a value not below T_min"},
      {Args({{23, "-0.5"}}), "argument 23 (dT): expected a positive step, got '-0.5'"},
      {Args({{23, "1e-20"}}), "argument 23 (dT): expected a step large enough"},
      {Args({{4, "-300"}, {24, "H"}}), "argument 4 (T): expected a positive temperature"},
      {Args({{2, "size"}, {21, "-5"}, {24, "H"}}), "argument 21 (T_min): expected a positive"},
      // Ranges that pass a careless reading and then cannot give finite results;
      // half an ulp rounds up at both ends, yet the sum stalls in between.
      {Args({{21, "1.0000000000000002"}, {22, "1.0000000000000007"},
             {23, "1.1102230246251565e-16"}}),
       "argument 23 (dT): expected a step large enough to change every value"},
      {Args({{21, "1"}, {22, "1e9"}, {23, "1"}}),
       "argument 23 (dT): expected a step that gives at most 1e8 sweep points"},
      {Args({{13, "0.3"}, {18, "1"}, {19, "170"}}),
       "argument 19 (nu): expected a ligand size below 170"},
      {Args({{13, "0.3"}, {18, "-5"}, {19, "3"}}),
       "argument 18 (z): expected a non-negative ligand activity"},
      {Args({{18, "1"}, {19, "3"}, {21, "1e-300"}, {22, "1"}, {23, "1"}}),
       "argument 21 (T_min): expected a temperature of at least 1e-100"},
      {Args({{7, "1e300"}}), "argument 7 (dH): expected an energy of magnitude at most 1e100"},
  };
  for (const auto& [args, message] : cases) {
    SCOPED_TRACE(message);
    ExpectRefused(args, message);
  }
}

// Malformed command lines from a fixed seed: wrong counts, unreadable fields
// (garbage bytes, NaN/inf, out-of-range numbers) and long words.  Every one
// is refused without creating or changing any file.
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
  for (int run = 0; run < 300 && !HasFailure(); ++run) {
    std::vector<std::string> a = Args();
    if (pick(0, 2) == 0) {  // wrong number of arguments
      const int n = pick(0, 40);
      a.resize(n == 24 ? 25 : static_cast<std::size_t>(n), "1");
    } else {  // one to three unreadable fields
      for (int k = pick(1, 3); k > 0; --k)
        a[pick(1, 22)] = pick(0, 1) ? unreadable[pick(0, 19)] : "x" + bytes(pick(0, 200));
    }
    if (a.size() == 24 && pick(0, 2) == 0) {  // long words where any word is fine
      a[0] = bytes(pick(100, 3000));
      a[23] = "w" + bytes(pick(100, 3000));
    }
    SCOPED_TRACE("run " + std::to_string(run));
    ExpectRefused(a, "");
  }
}

}  // namespace
}  // namespace chainmelt::testing
