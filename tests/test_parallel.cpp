// Parallel sweeps and batches through the real binary: every byte the same
// as the sequential program's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e_util.hpp"

namespace chainmelt::testing {
namespace {

namespace fs = std::filesystem;

// The classic run in a fresh directory with CHAINMELT_THREADS set (0: unset).
std::pair<std::string, std::string> Classic(const std::vector<std::string>& args, int threads) {
  if (threads > 0) {
    setenv("CHAINMELT_THREADS", std::to_string(threads).c_str(), 1);
  } else {
    unsetenv("CHAINMELT_THREADS");
  }
  TempDir dir;
  const RunResult r = RunChainmelt(args, dir.path().string());
  unsetenv("CHAINMELT_THREADS");
  return {ReadFile(dir.file("output.out")), r.out + "status " + std::to_string(r.status)};
}

// Every golden run (every example, phase in every variant, heat in four) and
// a heat sweep of the remaining variants, at 2, 3 and 8 threads; a sweep
// whose starts can never be feasible ends with the same fatal error.
TEST(ParallelSweep, ByteIdenticalToTheSequentialProgram) {
  std::vector<std::vector<std::string>> runs;
  for (const auto& e : fs::directory_iterator(fs::path(CHAINMELT_SOURCE_DIR) / "tests/golden"))
    if (fs::exists(e.path() / "args")) runs.push_back(Fields(ReadFile((e.path() / "args").string())));
  for (const char* line :
       {"pa heat 5 3 -1 0.2 10 3.2 0 0 0.5 0.1 0 0 0 0.3 0 0 0 0 2.8 3.4 0.05 T",
        "pa heat 2 300 -1000 0 0 0 314 2200 0 0 30 0 0 0.2 0.4 1 1 42.1 300 330 5 T",
        "pa heat 2 2900 -240 0 0 0 314 2200 0 0 0 0 0 0 0 0 0 0 2900 2950 2 H",
        "pa phase 2 314 -300 0 0 0 314 2165 0 0 0 0 0 0 0 0 0 0 305 325 1 T"})
    runs.push_back(Fields(line));
  for (const auto& args : runs) {
    SCOPED_TRACE(args[1] + " n0 " + args[2] + " .. " + args[23]);
    const auto plain = Classic(args, 0);
    for (int threads : {1, 2, 3, 8}) EXPECT_TRUE(Classic(args, threads) == plain) << threads;
  }
}

TEST(Batch, RunsEveryLineAndRecordsFailures) {
  TempDir dir;
  const std::string heat = "pa heat 2 314 W 0 0 0 314 2200 0 0 0 0 0 0 0 0 0 0 300 304 1 T";
  std::string text = "# a comment\n\n";
  std::vector<std::string> lines;
  for (int w = 200; w <= 260; w += 20) {
    std::string l = heat;
    l.replace(l.find('W'), 1, "-" + std::to_string(w));
    lines.push_back(l);
    text += l + "\n";
  }
  text += "pa heat 2 314 -240 0 0 0 0 2200 0 0 0 0 0 0 0 0 0 0 300 304 1 T\n";  // Tm = 0
  text += "pa phase 2 314 -250 0 0 0 314 4400 0 0 0 0 0 0 0 0 0 0 300 301 1 T\n";  // fatal
  WriteFile(dir.file("p.toml"), "task = \"heat\"\nn0 = 2\nTm = 314\ndHcal = 2200\nw = -200\n"
                                "T-sweep = \"300:304:1\"\n");
  text += "@p.toml w=-220 search=classic\n";  // a named line's default is the equilibrium
  WriteFile(dir.file("b.txt"), text);

  const RunResult r = RunChainmelt({"batch", "b.txt", "--out-dir", "res", "--format", "classic",
                                    "--threads", "3"},
                                   dir.path().string());
  EXPECT_EQ(r.status, 1);  // two runs failed
  for (std::size_t k = 0; k < lines.size(); ++k) {
    char name[32];
    std::snprintf(name, sizeof name, "res/line-%06zu.out", k + 3);
    EXPECT_EQ(ReadFile(dir.file(name)), Classic(Fields(lines[k]), 0).first) << name;
  }
  EXPECT_EQ(ReadFile(dir.file("res/line-000009.out")), ReadFile(dir.file("res/line-000004.out")));
  const auto table = Lines(ReadFile(dir.file("res/runs.tsv")));
  ASSERT_EQ(table.size(), 8u);
  EXPECT_EQ(table[0], "run\tkey\tstatus\trecords\tseconds\tworker\tmessage");
  EXPECT_EQ(table[5].rfind("7\t", 0), 0u) << table[5];
  EXPECT_NE(table[5].find("\trefused\t0\t"), std::string::npos) << table[5];
  EXPECT_NE(table[5].find("argument 9 (Tm)"), std::string::npos);
  EXPECT_EQ(table[6].rfind("8\t", 0), 0u) << table[6];
  EXPECT_NE(table[6].find("\tfatal\t0\t"), std::string::npos) << table[6];
  EXPECT_TRUE(fs::exists(dir.file("res/line-000008.out.partial")));

  // One combined table in line order, sharded: lines with index 1 mod 2.
  const RunResult c = RunChainmelt({"batch", "b.txt", "-o", "-", "--format", "csv", "--shard",
                                    "1/2"},
                                   dir.path().string());
  EXPECT_EQ(c.status, 1);
  const auto rows = Lines(c.out);
  ASSERT_EQ(rows.size(), 11u);  // header, 5 points of lines 4 and 6; line 8 failed
  EXPECT_EQ(rows[0].rfind("run,task,n0,w,", 0), 0u);
  EXPECT_EQ(rows[1].rfind("4,heat,2,-220,", 0), 0u);
  EXPECT_EQ(rows[10].rfind("6,heat,2,-260,", 0), 0u);
  EXPECT_NE(c.err.find("line 8: fatal"), std::string::npos) << c.err;
}

}  // namespace
}  // namespace chainmelt::testing
