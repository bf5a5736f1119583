// Result files through the real binary: devices and FIFOs are written in
// place and never replaced, symbolic links keep pointing at a replaced
// target, and no temporary outlives a run, whatever ends it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "e2e_util.hpp"

namespace chainmelt::testing {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kHeat = {"run", "--task", "heat", "--n0", "2", "--Tm", "314",
                                        "--dHcal", "2200", "--w", "-200", "--T-sweep",
                                        "300:304:1"};
// About three million points: runs until it is stopped.
const std::vector<std::string> kLong = With({kHeat.begin(), kHeat.end() - 1},
                                           {"300:330:0.00001", "--threads", "1"});

bool IsCharDevice(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

bool HasTemporary(const fs::path& dir, const std::string& prefix) {
  for (const auto& n : DirNames(dir))
    if (n.rfind(prefix + ".tmp-", 0) == 0) return true;
  return false;
}

TEST(OutputFiles, DevicesAreWrittenInPlaceAndLostWritesFail) {
  TempDir dir;
  const std::string why = MakeDevice(dir.file("full"), 7);
  if (!why.empty()) GTEST_SKIP() << why;
  ASSERT_EQ(MakeDevice(dir.file("null"), 3), "");

  const RunResult full = RunChainmelt(With(kHeat, {"-o", "full"}), dir.path().string(), 30);
  EXPECT_EQ(full.status, 1);
  EXPECT_NE(full.err.find("chainmelt: error writing full: No space left on device\n"),
            std::string::npos) << full.err;
  const RunResult null = RunChainmelt(With(kHeat, {"-o", "null"}), dir.path().string(), 30);
  EXPECT_EQ(null.status, 0) << null.err;
  // A batch's combined table too; its statuses then go to standard error.
  WriteFile(dir.file("b.txt"), "pa heat 2 314 -200 0 0 0 314 2200 0 0 0 0 0 0 0 0 0 0 300 302 1 T\n");
  const RunResult batch = RunChainmelt({"batch", "b.txt", "-o", "null"}, dir.path().string(), 30);
  EXPECT_EQ(batch.status, 0) << batch.err;
  const RunResult batch_full =
      RunChainmelt({"batch", "b.txt", "-o", "full"}, dir.path().string(), 30);
  EXPECT_EQ(batch_full.status, 1);
  EXPECT_NE(batch_full.err.find("chainmelt batch: error writing full: No space left on device\n"),
            std::string::npos) << batch_full.err;
  // The classic output.out: a device link reports the lost records.
  fs::create_symlink("full", dir.path() / "output.out");
  const RunResult classic = RunChainmelt(
      Fields("pa heat 2 314 -200 0 0 0 314 2200 0 0 0 0 0 0 0 0 0 0 300 302 1 T"),
      dir.path().string(), 30);
  EXPECT_EQ(classic.status, 1);
  EXPECT_EQ(classic.err, "chainmelt: error writing output.out: No space left on device\n");

  EXPECT_TRUE(IsCharDevice(dir.file("full")));
  EXPECT_TRUE(IsCharDevice(dir.file("null")));
  EXPECT_EQ(DirNames(dir.path()),
            (std::vector<std::string>{"b.txt", "full", "null", "output.out", "output1.out",
                                      "output2.out"}));
}

TEST(OutputFiles, AFifoIsWrittenToItsReader) {
  TempDir dir;
  const std::string fifo = dir.file("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string got;
  std::thread reader([&] {
    const int fd = open(fifo.c_str(), O_RDONLY);
    char buf[4096];
    for (ssize_t n; fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0;) got.append(buf, n);
    if (fd >= 0) close(fd);
  });
  const RunResult r = RunChainmelt(With(kHeat, {"-o", "pipe"}), dir.path().string(), 30);
  // Releases a reader still waiting for a writer, should the run have failed.
  const int unblock = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  if (unblock >= 0) close(unblock);
  reader.join();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Lines(got).size(), 8u) << got;  // two comments, the header, five points
  struct stat st {};
  ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(DirNames(dir.path()), std::vector<std::string>{"pipe"});
}

TEST(OutputFiles, ASymbolicLinkKeepsPointingAtItsReplacedTarget) {
  TempDir dir;
  fs::create_directory(dir.path() / "sub");
  WriteFile(dir.file("sub/target.tsv"), "earlier\n");
  fs::create_symlink("sub/target.tsv", dir.path() / "link.tsv");
  const RunResult r = RunChainmelt(With(kHeat, {"-o", "link.tsv"}), dir.path().string(), 30);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::is_symlink(dir.path() / "link.tsv"));
  EXPECT_EQ(fs::read_symlink(dir.path() / "link.tsv"), "sub/target.tsv");
  EXPECT_EQ(Lines(ReadFile(dir.file("sub/target.tsv"))).size(), 8u);
  EXPECT_EQ(DirNames(dir.path() / "sub"), std::vector<std::string>{"target.tsv"});
  // A dangling link gets its target created.
  fs::create_symlink("sub/new.tsv", dir.path() / "dangling.tsv");
  EXPECT_EQ(RunChainmelt(With(kHeat, {"-o", "dangling.tsv"}), dir.path().string(), 30).status, 0);
  EXPECT_TRUE(fs::is_symlink(dir.path() / "dangling.tsv"));
  EXPECT_EQ(Lines(ReadFile(dir.file("sub/new.tsv"))).size(), 8u);
}

TEST(OutputFiles, SignalsLeaveNoTemporaryAndTheOldResult) {
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    TempDir dir;
    WriteFile(dir.file("r.tsv"), "earlier\n");
    const pid_t pid = StartChainmelt(With(kLong, {"-o", "r.tsv"}), dir.path().string(), 60);
    ASSERT_TRUE(WaitFor([&] { return HasTemporary(dir.path(), "r.tsv"); }, 20));
    // Some records computed and written into the temporary first.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    kill(pid, sig);
    const int status = WaitBounded(pid, 20);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
    EXPECT_EQ(DirNames(dir.path()), std::vector<std::string>{"r.tsv"});
    EXPECT_EQ(ReadFile(dir.file("r.tsv")), "earlier\n");
  }
}

TEST(OutputFiles, TheNextRunRemovesTheTemporariesOfKilledOnes) {
  TempDir dir;
  const pid_t pid = StartChainmelt(With(kLong, {"-o", "r.tsv"}), dir.path().string(), 60);
  ASSERT_TRUE(WaitFor([&] { return HasTemporary(dir.path(), "r.tsv"); }, 20));
  kill(pid, SIGKILL);
  WaitBounded(pid, 20);
  ASSERT_TRUE(HasTemporary(dir.path(), "r.tsv"));
  // A temporary of a live process (this one) and other names stay.
  const std::string live = "r.tsv.tmp-" + std::to_string(getpid()) + "-abcdef";
  WriteFile(dir.file(live), "");
  WriteFile(dir.file("r.tsv.tmp-notapid"), "");
  const RunResult r = RunChainmelt(With(kHeat, {"-o", "r.tsv"}), dir.path().string(), 30);
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> kept = {"r.tsv", "r.tsv.tmp-notapid", live};
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(DirNames(dir.path()), kept);
}

}  // namespace
}  // namespace chainmelt::testing
