// Batches that are killed and resumed through the real binary: the runs
// table gets every finished run at once, and --resume completes the
// directory as one uninterrupted batch would have left it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "e2e_util.hpp"

namespace chainmelt::testing {
namespace {

namespace fs = std::filesystem;

// Twenty heat runs of two thousand points each, and one refused line.
std::string BatchText() {
  std::string text = "# heat runs\n";
  for (int w = 200; w < 220; ++w)
    text += "pa heat 2 314 -" + std::to_string(w) +
            " 0 0 0 314 2200 0 0 0 0 0 0 0 0 0 0 300 320 0.01 T\n";
  text += "pa heat 2 314 -200 0 0 0 0 2200 0 0 0 0 0 0 0 0 0 0 300 304 1 T\n";  // Tm = 0
  return text;
}

std::map<std::string, std::string> Contents(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(dir)) {
    std::string text = ReadFile(e.path().string());
    if (e.path().filename() == "runs.tsv") {  // the seconds column aside
      std::string kept;
      for (const auto& line : Lines(text)) {
        std::vector<std::string> cells = Split(line, '\t');
        if (cells.size() > 4) cells[4] = "-";
        for (const auto& c : cells) kept += c + "|";
        kept += "\n";
      }
      text = kept;
    }
    files[e.path().filename().string()] = text;
  }
  return files;
}

std::size_t RowsOf(const std::string& path) {
  const auto lines = Lines(ReadFile(path));
  return lines.empty() ? 0 : lines.size() - 1;
}

TEST(BatchResume, KilledThenResumedGivesTheUninterruptedDirectory) {
  TempDir dir;
  WriteFile(dir.file("b.txt"), BatchText());
  const std::vector<std::string> args = {"batch", "b.txt", "--out-dir", "res", "--threads", "2"};
  const RunResult whole = RunChainmelt({"batch", "b.txt", "--out-dir", "whole", "--threads", "2"},
                                       dir.path().string(), 120);
  EXPECT_EQ(whole.status, 1);  // the refused line

  const pid_t pid = StartChainmelt(args, dir.path().string(), 120);
  const bool started = WaitFor([&] { return RowsOf(dir.file("res/runs.tsv")) >= 4; }, 60);
  kill(pid, SIGKILL);
  WaitBounded(pid, 20);
  ASSERT_TRUE(started);
  const std::size_t recorded = RowsOf(dir.file("res/runs.tsv"));
  ASSERT_LT(recorded, 21u) << "the batch ended before it was killed";

  const RunResult resumed = RunChainmelt(With(args, {"--resume"}), dir.path().string(), 120);
  EXPECT_EQ(resumed.status, 1);
  EXPECT_NE(resumed.err.find("batch: " + std::to_string(recorded) + " run(s) already recorded"),
            std::string::npos) << resumed.err;
  EXPECT_EQ(Contents(dir.path() / "res"), Contents(dir.path() / "whole"));
}

TEST(BatchResume, ChangedLinesLostResultsAndDamagedRowsAreDoneAgain) {
  TempDir dir;
  WriteFile(dir.file("b.txt"), BatchText());
  ASSERT_EQ(RunChainmelt({"batch", "b.txt", "--out-dir", "res"}, dir.path().string()).status, 1);
  const std::string table = ReadFile(dir.file("res/runs.tsv"));
  auto lines = Lines(table);
  ASSERT_EQ(lines.size(), 22u);
  // Line 5's row damaged, line 7's result file gone, line 9 changed, and
  // a row cut short at the end (as a kill during the write leaves it).
  lines[4] = "5\tdamaged";
  std::string text;
  for (const auto& l : lines) text += l + "\n";
  WriteFile(dir.file("res/runs.tsv"), text + "12\t0123");
  fs::remove(dir.path() / "res/line-000007.tsv");
  std::string batch = BatchText();
  batch.replace(batch.find("-207 "), 5, "-280 ");
  WriteFile(dir.file("b.txt"), batch);

  const RunResult r =
      RunChainmelt({"batch", "b.txt", "--out-dir", "res", "--resume"}, dir.path().string());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("batch: 18 run(s) already recorded"), std::string::npos) << r.err;
  const auto after = Lines(ReadFile(dir.file("res/runs.tsv")));
  ASSERT_EQ(after.size(), 22u);
  for (std::size_t i = 1; i < after.size(); ++i)  // every line once, in order
    EXPECT_EQ(after[i].rfind(std::to_string(i + 1) + "\t", 0), 0u) << after[i];
  EXPECT_NE(after[8], lines[8]);  // line 9: a new key
  EXPECT_TRUE(fs::exists(dir.path() / "res/line-000007.tsv"));
  EXPECT_NE(ReadFile(dir.file("res/line-000009.tsv")).find("w=-280"), std::string::npos);

  // A table of another layout is not resumed from.
  WriteFile(dir.file("res/runs.tsv"), "line\tstatus\trecords\tseconds\tmessage\n");
  const RunResult other =
      RunChainmelt({"batch", "b.txt", "--out-dir", "res", "--resume"}, dir.path().string());
  EXPECT_EQ(other.status, 1);
  EXPECT_NE(other.err.find("chainmelt batch: --resume: res/runs.tsv: expected a runs table"),
            std::string::npos) << other.err;
}

TEST(BatchResume, UnusableDirectoriesAreNamedWithTheReason) {
  TempDir dir;
  WriteFile(dir.file("b.txt"), "pa heat 2 314 -200 0 0 0 314 2200 0 0 0 0 0 0 0 0 0 0 300 302 1 T\n");
  WriteFile(dir.file("plain"), "");
  const RunResult file = RunChainmelt({"batch", "b.txt", "--out-dir", "plain"}, dir.path().string());
  EXPECT_EQ(file.status, 1);
  EXPECT_EQ(file.err, "chainmelt batch: --out-dir plain: not a directory\n");
  const RunResult under =
      RunChainmelt({"batch", "b.txt", "--out-dir", "plain/sub"}, dir.path().string());
  EXPECT_EQ(under.status, 1);
  EXPECT_EQ(under.err, "chainmelt batch: --out-dir plain/sub: cannot create the directory: Not a "
                       "directory\n");
  if (geteuid() == 0) {
    std::printf("skipped the read-only directory: root may write into it\n");
    return;
  }
  fs::create_directory(dir.path() / "ro");
  chmod(dir.file("ro").c_str(), 0555);
  const RunResult ro = RunChainmelt({"batch", "b.txt", "--out-dir", "ro"}, dir.path().string());
  EXPECT_EQ(ro.status, 1);
  EXPECT_EQ(ro.err, "chainmelt batch: --out-dir ro: cannot write runs.tsv: Permission denied\n");
}

}  // namespace
}  // namespace chainmelt::testing
