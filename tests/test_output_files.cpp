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
#include "run/sha256.hpp"

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

// Runs /usr/bin/python3 -c `script` with the package of this build on its
// path, bounded in time; its standard output, or "" when the package was
// not built.
std::string RunPython(const std::string& script, const TempDir& dir) {
  const fs::path package = fs::path(CHAINMELT_BIN).parent_path() / "python";
  if (!fs::exists(package / "chainmelt" / "__init__.py")) return "";
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("PYTHONPATH", package.c_str(), 1);
    if (!std::freopen(dir.file(".py-out").c_str(), "w", stdout) ||
        !std::freopen(dir.file(".py-err").c_str(), "w", stderr))
      _exit(127);
    alarm(120);
    execl("/usr/bin/python3", "python3", "-W", "error", "-c", script.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  const int status = WaitBounded(pid, 150);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadFile(dir.file(".py-err"));
  return ReadFile(dir.file(".py-out"));
}

// A CSV table gets its kind, parameters and column units in FILE.meta.json,
// written after it and only when it is a file; the package reads the table
// back with them.  A run that fails leaves an earlier table and its metadata
// as they were.
TEST(OutputFiles, ACsvTableKeepsItsMetadataBesideIt) {
  TempDir dir;
  const std::vector<std::string> csv = With(kHeat, {"--format", "csv", "-o", "r.csv"});
  ASSERT_EQ(RunChainmelt(csv, dir.path().string(), 30).status, 0);
  const std::string table = ReadFile(dir.file("r.csv")), meta = ReadFile(dir.file("r.csv.meta.json"));
  EXPECT_NE(meta.find("\"bytes\": " + std::to_string(table.size()) + ",\n"), std::string::npos);
  EXPECT_NE(meta.find("\"sha256\": \"" + Sha256Hex(table) + "\""), std::string::npos);
  EXPECT_NE(meta.find("{\"name\": \"F\", \"unit\": \"energy\", \"integer\": false, \"meaning\": "
                      "\"energy per site (one chain), in the run's unit\"}"),
            std::string::npos) << meta;
  const std::string read_back = RunPython(
      "import chainmelt\n"
      "df = chainmelt.read('" + dir.file("r.csv") + "')\n"
      "print(df.attrs['kind'], df.attrs['units']['Cp'], df.attrs['parameters']['dHcal'],\n"
      "      df.attrs['parameters']['search'], df['iter'].dtype, len(df))\n",
      dir);
  if (!read_back.empty()) {
    EXPECT_EQ(read_back, "heat k_B 2200 equilibrium int64 5\n");
  }

  // A failed run (no feasible start of the classic search) keeps both.
  const RunResult fatal = RunChainmelt(
      {"run", "--search", "classic", "--task", "phase", "--n0", "2", "--Tm", "314", "--dHcal",
       "4400", "--w", "-250", "--T-sweep", "300:301:1", "--format", "csv", "-o", "r.csv"},
      dir.path().string(), 30);
  EXPECT_EQ(fatal.status, 1);
  EXPECT_EQ(ReadFile(dir.file("r.csv")), table);
  EXPECT_EQ(ReadFile(dir.file("r.csv.meta.json")), meta);
  // Other formats and standard output get none.
  EXPECT_EQ(RunChainmelt(With(kHeat, {"--format", "csv"}), dir.path().string(), 30).status, 0);
  EXPECT_EQ(RunChainmelt(With(kHeat, {"-o", "r.tsv"}), dir.path().string(), 30).status, 0);
  // (The read-back's own .py-* files exist only in a build with the package.)
  std::vector<std::string> names = DirNames(dir.path());
  names.erase(std::remove_if(names.begin(), names.end(),
                             [](const std::string& n) { return n.rfind(".py-", 0) == 0; }),
              names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"r.csv", "r.csv.meta.json", "r.csv.partial",
                                             "r.tsv"}));
}

// The checksum by which the metadata is matched to its table: the standard
// test vectors, one of them across the boundary of the last block.
TEST(OutputFiles, TheTableChecksumIsSha256) {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  Sha256 million;
  for (int i = 0; i < 1000; ++i) million.Update(std::string(1000, 'a'));
  EXPECT_EQ(million.HexDigest(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
}  // namespace chainmelt::testing
