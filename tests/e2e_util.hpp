// Helpers for end-to-end tests: run the real chainmelt binary in a scratch
// directory and read what it wrote.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace chainmelt::testing {

// A fresh directory below the system's temporary directory, removed on exit.
class TempDir {
 public:
  TempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "chainmelt-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) std::abort();
    path_ = templ;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

struct RunResult {
  int status = -1;  // exit status, or -1 when the process did not exit normally
  std::string out;  // standard output
  std::string err;  // standard error
};

// In a child about to run the binary: the signals a test sends get their
// default actions (a shell may have started the tests with SIGINT ignored).
inline void DefaultSignals() {
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, SIG_DFL);
}

// Starts the binary with `args` in `dir` (standard output and error to
// dir/.stdout and dir/.stderr), killed by SIGALRM after `timeout_s`
// seconds at the latest.  Returns its pid.
// Starts the binary in dir with its standard output and error in the named
// files (relative to dir), ended by SIGALRM after timeout_s.
inline pid_t SpawnChainmelt(const std::vector<std::string>& args, const std::string& dir,
                            int timeout_s, const std::string& out, const std::string& err) {
  std::vector<std::string> words = {CHAINMELT_BIN};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    DefaultSignals();
    if (chdir(dir.c_str()) != 0 || !std::freopen("/dev/null", "r", stdin) ||
        !std::freopen(out.c_str(), "w", stdout) || !std::freopen(err.c_str(), "w", stderr))
      _exit(127);
    alarm(static_cast<unsigned>(timeout_s));
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

inline pid_t StartChainmelt(const std::vector<std::string>& args, const std::string& dir,
                            int timeout_s) {
  return SpawnChainmelt(args, dir, timeout_s, ".stdout", ".stderr");
}

inline int WaitBounded(pid_t pid, double timeout_s) {
  const auto until = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(static_cast<long>(timeout_s * 1000));
  int wstatus = 0;
  while (waitpid(pid, &wstatus, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > until) {
      kill(pid, SIGKILL);
      waitpid(pid, &wstatus, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return wstatus;
}

// Waits at most `timeout_s` seconds for `ready()` to hold.
template <typename F>
bool WaitFor(F ready, double timeout_s) {
  const auto until = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(static_cast<long>(timeout_s * 1000));
  while (!ready()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Makes a character device in a scratch directory (major 1: 3 is null, 7
// is full).  Needs root; returns the reason when it cannot be made.
inline std::string MakeDevice(const std::string& path, unsigned minor) {
  if (mknod(path.c_str(), S_IFCHR | 0666, makedev(1, minor)) == 0) return "";
  return "mknod " + path + " needs root (" + std::string(std::strerror(errno)) + ")";
}

// Runs the binary with `args` (argument 0 excluded) in `dir`, with no
// standard input.  Gives up (status -1) after `timeout_s` seconds.  Standard
// output goes to `stdout_to` when it is given (and is then not read back).
inline RunResult RunChainmelt(const std::vector<std::string>& args, const std::string& dir,
                              int timeout_s = 120, const std::string& stdout_to = "") {
  const std::string out_path = stdout_to.empty() ? dir + "/.stdout" : stdout_to;
  const std::string err_path = dir + "/.stderr";
  const pid_t pid = SpawnChainmelt(args, dir, timeout_s, out_path, err_path);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  RunResult r{WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1,
              stdout_to.empty() ? ReadFile(out_path) : "", ReadFile(err_path)};
  if (stdout_to.empty()) std::remove(out_path.c_str());
  std::remove(err_path.c_str());
  return r;
}

// Splits a text into lines (without their newlines).
// The sorted names in dir but the captured standard output and error.
inline std::vector<std::string> DirNames(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    const std::string n = e.path().filename().string();
    if (n != ".stdout" && n != ".stderr") names.push_back(n);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Splits on one separator character, keeping empty fields.
inline std::vector<std::string> Split(const std::string& line, char sep) {
  std::vector<std::string> f(1);
  for (char c : line) {
    if (c == sep) {
      f.emplace_back();
    } else {
      f.back().push_back(c);
    }
  }
  return f;
}

// args followed by more.
inline std::vector<std::string> With(std::vector<std::string> args,
                                     const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Splits a record into its blank-separated fields.
inline std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string f; in >> f;) fields.push_back(f);
  return fields;
}

// One run of a command line given as one blank-separated text, in a fresh
// directory, with the lines it left in output.out.
struct Calc {
  explicit Calc(const std::string& command_line, int timeout_s = 120)
      : r(RunChainmelt(Fields(command_line), dir.path().string(), timeout_s)),
        records(Lines(ReadFile(dir.file("output.out")))) {}
  TempDir dir;
  RunResult r;
  std::vector<std::string> records;
};

}  // namespace chainmelt::testing
