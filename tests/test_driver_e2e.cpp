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

// A cheap valid run: mean-field model, dH - T*dS = 0 at T = 300.
std::vector<std::string> Args(const std::map<int, std::string>& changes = {}) {
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

TEST(DriverE2E, SweepsAccumulatedValuesAndCreatesTheFiles) {
  TempDir dir;
  RunResult r = RunChainmelt(Args(), dir.path().string());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ProgressLines(r.out),
            (std::vector<std::string>{"T = 300.000000 Task: phase", "T = 300.500000 Task: phase",
                                      "T = 301.000000 Task: phase"}));
  EXPECT_EQ(DirEntries(dir), (std::vector<std::string>{"output.out", "output1.out", "output2.out"}));
  EXPECT_EQ(ReadFile(dir.file("output1.out")), "");
  EXPECT_EQ(ReadFile(dir.file("output2.out")), "");

  // T_min = T_max: exactly one point.
  r = RunChainmelt(Args({{21, "300"}, {22, "300"}}), dir.path().string());
  EXPECT_EQ(ProgressLines(r.out).size(), 1u);

  // 0.1 added 18 times overshoots 1.9 slightly, so the sweep to 2.0 has 19
  // points where T_min + k*dT would give 20.
  r = RunChainmelt(Args({{21, "0.1"}, {22, "2.0"}, {23, "0.1"}, {24, "H"}}), dir.path().string());
  const auto lines = ProgressLines(r.out);
  ASSERT_EQ(lines.size(), 19u) << r.err;
  EXPECT_EQ(lines.front(), "H = 0.100000 Task: phase");
  EXPECT_EQ(lines.back(), "H = 1.900000 Task: phase");
}

TEST(DriverE2E, OnlyTheExactWordHSweepsDh) {
  TempDir dir;
  const RunResult h =
      RunChainmelt(Args({{21, "2990"}, {22, "3000"}, {23, "10"}, {24, "H"}}), dir.path().string());
  EXPECT_EQ(h.status, 0) << h.err;
  EXPECT_EQ(ProgressLines(h.out), (std::vector<std::string>{"H = 2990.000000 Task: phase",
                                                            "H = 3000.000000 Task: phase"}));
  for (const char* sel : {"h", "HH", "T", "", "Hx"}) {
    const RunResult r = RunChainmelt(Args({{23, "1"}, {24, sel}}), dir.path().string());
    EXPECT_EQ(r.status, 0) << sel << r.err;
    EXPECT_EQ(ProgressLines(r.out), (std::vector<std::string>{"T = 300.000000 Task: phase",
                                                              "T = 301.000000 Task: phase"}))
        << "selector '" << sel << "'";
  }
}

TEST(DriverE2E, SizeAndCritRunOnceAtTheFirstPoint) {
  TempDir dir;
  const RunResult size =
      RunChainmelt(Args({{2, "size"}, {21, "300"}, {22, "302"}, {23, "1"}}), dir.path().string());
  EXPECT_EQ(size.status, 0) << size.err;
  EXPECT_EQ(ProgressLines(size.out), std::vector<std::string>{"T = 300.000000 Task: size"});

  // Far above the transition the determinant hardly changes over the simplex,
  // so the search ends at once.
  const RunResult crit = RunChainmelt(Args({{2, "crit"}, {3, "2"}, {7, "1"}, {8, "0"},
                                            {21, "1000000"}, {22, "1000010"}, {23, "1"}}),
                                      dir.path().string());
  EXPECT_EQ(crit.status, 0) << crit.err;
  EXPECT_EQ(ProgressLines(crit.out), std::vector<std::string>{"T = 1000000.000000 Task: crit"});
}

TEST(DriverE2E, AcceptsWhatOnlyLooksOdd) {
  TempDir dir;
  const std::vector<std::map<int, std::string>> cases = {
      {{7, "5"}, {9, "0"}},                          // Tm = 0 is unused when dH is given
      {{3, "2"}, {20, "42.1"}},                      // alternative mode with n0 = 2
      {{4, "300"}, {21, "-10"}, {22, "-10"}, {24, "H"}},  // negative dH values
      {{1, std::string(300, 'a')}, {24, std::string(300, 'b')}},
      {{3, "+2"}, {7, " 3e3 "}, {21, "0x12c"}, {22, "0x12c"}},
  };
  for (const auto& c : cases) {
    const RunResult r = RunChainmelt(Args(c), dir.path().string());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ProgressLines(r.out).size(), c.count(21) ? 1u : 3u) << r.out;
  }
}

// Every refusal: status 2, one line naming the argument, no file created or
// changed.
TEST(DriverE2E, RejectedCommandLinesTouchNoFile) {
  std::vector<std::string> short_line = Args(), long_line = Args();
  short_line.pop_back();
  long_line.push_back("x");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "expected 24 arguments, got 0 (see 'chainmelt --help')"},
      {short_line, "expected 24 arguments, got 23 (see 'chainmelt --help')"},
      {long_line, "expected 24 arguments, got 25 (see 'chainmelt --help')"},
      {Args({{7, "abc"}}), "argument 7 (dH): expected a number, got 'abc'"},
      {Args({{5, ""}}), "argument 5 (w): expected a number, got ''"},
      {Args({{18, "1.5x"}}), "argument 18 (z): expected a number, got '1.5x'"},
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

TEST(DriverE2E, OutputThatCannotBeCreatedEndsWithStatusOne) {
  TempDir dir;
  std::filesystem::create_directory(dir.path() / "output.out");
  const RunResult r = RunChainmelt(Args(), dir.path().string());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "ERROR opening file output.out \n");
  EXPECT_EQ(r.err, "");
}

TEST(DriverE2E, HelpAndVersion) {
  TempDir dir;
  const RunResult h = RunChainmelt({"-h"}, dir.path().string());
  EXPECT_EQ(h.status, 0);
  EXPECT_EQ(h.out.rfind("Usage: chainmelt ", 0), 0u);
  const RunResult v = RunChainmelt({"--version"}, dir.path().string());
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out, std::string("chainmelt ") + CHAINMELT_VERSION + "\n");
  EXPECT_TRUE(DirEntries(dir).empty());
}

// Malformed command lines from a fixed seed: every one must be refused with
// status 2 and one message line, without creating or changing any file.
TEST(DriverE2E, RandomMalformedCommandLinesAreRefused) {
  std::mt19937 gen(20240611u);
  auto pick = [&gen](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(gen); };
  auto any = [&](const std::vector<std::string>& v) { return v[pick(0, int(v.size()) - 1)]; };
  auto bytes = [&](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += static_cast<char>(pick(1, 255));
    return s;
  };
  const std::vector<std::string> bad_numbers = {
      "", " ", "nan", "-nan", "NAN(1)", "inf", "-Infinity", "1e999", "-1e400", "1e-400",
      std::string(400, '9'), "1.2.3", "0x", "--", "1e", "3,5", "\n", "300K", "e5", "."};
  const std::vector<std::string> bad_variants = {"0", "3", "-1", "9", "2.5", "1e0", "1e20"};
  const std::vector<std::string> bad_tasks = {"", "Phase", "sizes", "--help", std::string(5000, 'p')};
  const std::vector<std::vector<std::pair<int, std::string>>> bad_settings = {
      {{21, "400"}}, {{23, "0"}}, {{23, "-1e-300"}}, {{23, "1e-14"}}, {{3, "8"}, {20, "42.1"}},
      {{2, "crit"}}, {{2, "coexist"}, {16, "1"}}, {{21, "0"}}, {{21, "-1e300"}}};
  const std::string kept = "previous results \n";
  for (int run = 0; run < 240; ++run) {
    std::vector<std::string> a = Args();
    const int kind = pick(0, 3);
    if (kind == 0) {  // wrong number of arguments
      const int n = pick(0, 40);
      a.resize(n == 24 ? 25 : static_cast<std::size_t>(n), "1");
    } else if (kind == 1) {  // readable, but a setting the run cannot use
      for (const auto& [pos, text] : bad_settings[pick(0, int(bad_settings.size()) - 1)])
        a[pos - 1] = text;
    } else {  // one to three unreadable fields
      for (int k = pick(1, 3); k > 0; --k) {
        const int pos = pick(2, 23);
        a[pos - 1] = pos == 2   ? (pick(0, 1) ? any(bad_tasks) : "X" + bytes(pick(0, 30)))
                     : pos == 3 ? any(bad_variants)
                                : (pick(0, 1) ? any(bad_numbers) : "x" + bytes(pick(0, 200)));
      }
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
