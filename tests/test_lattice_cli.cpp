// The Monte Carlo method of the command line, end to end: its refusals, the
// columns of its records and their reproducibility at any thread count.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e_util.hpp"

namespace chainmelt::testing {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kDppc = {"run",  "--n0",    "2",    "--Tm",        "314",
                                        "--dHcal", "2200", "--w", "-240", "--T-sweep",
                                        "300:328:4", "--method", "montecarlo"};

TEST(LatticeCli, RefusalsNameTheOptionAndWriteNothing) {
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--task", "heat", "--L", "10"}, "--L: expected a multiple of 3 from 6 to 3000"},
      {{"--task", "heat", "--L", "3"}, "--L: expected a multiple of 3 from 6 to 3000"},
      {{"--task", "heat", "--L", "12.0"}, "--L: expected a multiple of 3"},
      {{"--task", "heat", "--sweeps", "31"}, "--sweeps: expected a whole number of sweeps from 32"},
      {{"--task", "heat", "--equilibration", "-1"}, "--equilibration: expected a whole number"},
      {{"--task", "heat", "--seed", "x"}, "--seed: expected a whole number"},
      {{"--task", "heat", "--set", "method=exact"}, "--set method: expected one of the methods pair, "
                                                "montecarlo, got 'exact'"},
      {{"--task", "coexist"}, "--method: expected pair for task coexist"},
      {{"--task", "heat", "--set", "n0=4"}, "--method: expected pair for n0 = 4"},
      {{"--task", "heat", "--mode", "42.1", "--nu", "1"}, "--method: expected pair for n0 = 2 in "
                                                         "mode 42.1"},
      {{"--task", "heat", "--T", "300", "--set", "sweep=H"},
       "--set sweep: expected a sweep in T with method montecarlo"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    TempDir tmp;
    const RunResult r = RunChainmelt(With(With(kDppc, c.args), {"-o", "r.tsv"}),
                                     tmp.path().string());
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("chainmelt: " + c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;  // one line
    EXPECT_FALSE(fs::exists(tmp.file("r.tsv")));
  }
}

// A short heat curve: its columns and units, the same bytes for one seed at
// one and two threads (and from a parameter file), other bytes for another
// seed; a curve too short for its errors says so.
TEST(LatticeCli, HeatRecordsAreReproducibleAtAnyThreadCount) {
  TempDir tmp;
  const auto run = [&](const std::vector<std::string>& more) {
    return RunChainmelt(With(With(kDppc, {"--task", "heat", "--L", "12", "--sweeps", "640",
                                          "--equilibration", "100"}),
                             more),
                        tmp.path().string());
  };
  const RunResult one = run({"--threads", "1", "--seed", "7"});
  const RunResult two = run({"--threads", "2", "--seed", "7"});
  const RunResult other = run({"--threads", "2", "--seed", "8"});
  ASSERT_EQ(one.status, 0) << one.err;
  ASSERT_EQ(two.status, 0) << two.err;
  const std::vector<std::string> lines = Lines(one.out);
  ASSERT_EQ(lines.size(), 3u + 8u) << one.out;
  EXPECT_EQ(lines[1], "# units\ttemperature\tk_B\tk_B\t1\t1\t1\t1\tenergy\tenergy\t1\t1\t1");
  EXPECT_EQ(lines[2], "T\tCp\tCp_err\tx_f\tx_f_err\ty_ff\ty_ff_err\tU\tU_err\ttau_E\ttau_Nf\t"
                      "reliable");
  EXPECT_NE(lines[0].find("method=montecarlo L=12 sweeps=640 equilibration=100 seed=7"),
            std::string::npos);
  // Only the header's threads differ.
  const auto body = [](const std::string& out) { return out.substr(out.find('\n')); };
  EXPECT_EQ(body(one.out), body(two.out));
  EXPECT_NE(body(one.out), body(other.out));
  // A run this short shows no progress off a terminal; its diagnostics stay.
  EXPECT_EQ(one.err.find("Monte Carlo: sweep"), std::string::npos) << one.err;
  EXPECT_NE(one.err.find("lowest exchange rate"), std::string::npos) << one.err;

  // The fluid fraction rises through the transition; Cp and its error are
  // positive.
  double last_xf = -1;
  for (std::size_t i = 3; i < lines.size(); ++i) {
    double T, cp, cp_err, xf;
    ASSERT_EQ(std::sscanf(lines[i].c_str(), "%lf\t%lf\t%lf\t%lf", &T, &cp, &cp_err, &xf), 4);
    EXPECT_GT(cp, 0);
    EXPECT_GT(cp_err, 0);
    EXPECT_GT(xf, last_xf);
    last_xf = xf;
  }

  WriteFile(tmp.file("p.toml"),
            "task = \"heat\"\nn0 = 2\nTm = 314\ndHcal = 2200\nw = -240\nT-sweep = "
            "\"300:328:4\"\nmethod = \"montecarlo\"\nL = 12\nsweeps = 640\nequilibration = "
            "100\nseed = 7\nthreads = 2\n");
  const RunResult file = RunChainmelt({"run", "p.toml"}, tmp.path().string());
  ASSERT_EQ(file.status, 0) << file.err;
  EXPECT_EQ(body(file.out), body(two.out));

  // 32 sweeps at L = 6 give blocks of one sweep: the errors cannot be
  // trusted, and every such point says so.
  const RunResult short_run = RunChainmelt(
      With(kDppc, {"--task", "phase", "--L", "6", "--sweeps", "32", "--equilibration", "0"}),
      tmp.path().string());
  ASSERT_EQ(short_run.status, 0) << short_run.err;
  const std::vector<std::string> phase = Lines(short_run.out);
  EXPECT_EQ(phase[2], "T\tx_f\tx_f_err\ty_ff\ty_ff_err\tU\tU_err\ttau_E\ttau_Nf\treliable");
  EXPECT_NE(short_run.err.find("the Monte Carlo errors are not reliable"), std::string::npos)
      << short_run.err;
}

}  // namespace
}  // namespace chainmelt::testing
