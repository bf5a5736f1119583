#include "driver/output.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "run/layout.hpp"
#include "run/sha256.hpp"
#include "run/sinks.hpp"
#include "run/table.hpp"

namespace chainmelt {

namespace {

// The temporaries being written, for the signal handler.  This is process
// state by nature (a signal ends the whole process), so it lives at
// namespace scope, in fixed storage the handler can read without locks: a
// slot is taken (0 -> 1), its path written, then published (1 -> 2); the
// handler unlinks only published slots.  With every slot taken a temporary
// goes unregistered, and the next run writing its file removes it.
constexpr int kSlots = 256;
constexpr std::size_t kPathMax = 4096;
struct Slot {
  std::atomic<int> state{0};
  char path[kPathMax];
};
Slot g_slots[kSlots];
std::atomic<bool> g_handlers{false};
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void RemoveTemporariesAndDie(int sig) {
  const int saved = errno;
  for (Slot& s : g_slots)
    if (s.state.load() == 2) ::unlink(s.path);
  // The default action of the signal, as if no handler had been there.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ::sigaction(sig, &dfl, nullptr);
  errno = saved;
  ::raise(sig);
}

void InstallHandlers() {
  if (g_handlers.exchange(true)) return;
  for (const int sig : kSignals) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) != 0) continue;
    // A signal the caller chose to ignore (nohup) or handles itself stays so.
    if (old.sa_handler != SIG_DFL || (old.sa_flags & SA_SIGINFO)) continue;
    struct sigaction act {};
    act.sa_handler = RemoveTemporariesAndDie;
    sigemptyset(&act.sa_mask);
    for (const int other : kSignals) sigaddset(&act.sa_mask, other);
    ::sigaction(sig, &act, nullptr);
  }
}

int Register(const std::string& path) {
  if (path.size() >= kPathMax) return -1;
  InstallHandlers();
  for (int i = 0; i < kSlots; ++i) {
    int expected = 0;
    if (!g_slots[i].state.compare_exchange_strong(expected, 1)) continue;
    std::memcpy(g_slots[i].path, path.c_str(), path.size() + 1);
    g_slots[i].state.store(2);
    return i;
  }
  return -1;
}

void Unregister(int slot) {
  if (slot >= 0) g_slots[slot].state.store(0);
}

std::string DirName(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Opens a FIFO for writing once a reader has it open, waiting at most
// kFifoWait for one (Ctrl-C ends the wait at once).
constexpr int kFifoWaitSeconds = 30;
int OpenFifo(const std::string& path, std::string& reason) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(kFifoWaitSeconds);
  for (;;) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      return fd;
    }
    if (errno != ENXIO) {
      reason = std::strerror(errno);
      return -1;
    }
    if (std::chrono::steady_clock::now() >= until) {
      reason = "it is a FIFO and no reader opened it within " + std::to_string(kFifoWaitSeconds) +
               " s";
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

std::FILE* OpenForWriting(const std::string& name, std::string& reason) {
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) {
    reason = errno == ENXIO ? "it is a FIFO with no reader" : std::strerror(errno);
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
    reason = "it is not a regular file";
    ::close(fd);
    return nullptr;
  }
  // Ordinary blocking writes from here on.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::FILE* f = ::fdopen(fd, "w");
  if (f == nullptr) {
    reason = std::strerror(errno);
    ::close(fd);
  }
  return f;
}

bool CloseChecked(std::FILE* file) {
  if (file == nullptr) return true;
  const bool flushed = std::fflush(file) == 0 && std::ferror(file) == 0;
  return std::fclose(file) == 0 && flushed;
}

std::string WriteError(const std::string& path, int error) { return WriteFailure(path, error); }

std::string FollowLinks(const std::string& path) {
  std::string at = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return at;
    std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    const ssize_t n = ::readlink(at.c_str(), link.data(), link.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= link.size()) return at;
    link.resize(static_cast<std::size_t>(n));
    at = link[0] == '/' ? link : DirName(at) + "/" + link;
  }
  return path;
}

namespace {

// Removes the entries of `dir` named PREFIX.tmp-PID-XXXXXX, PREFIX one of
// `prefixes`, whose PID is no longer a process.
int RemoveStale(const std::string& dir, const std::set<std::string>& prefixes) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return 0;
  int removed = 0;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    const auto tmp = name.rfind(".tmp-");
    if (tmp == std::string::npos || tmp == 0) continue;
    if (prefixes.count(name.substr(0, tmp)) == 0) continue;
    // PID-XXXXXX: digits, a dash, the six characters of mkstemp.
    const std::string rest = name.substr(tmp + 5);
    const auto dash = rest.find('-');
    if (dash == 0 || dash == std::string::npos || rest.size() != dash + 7 ||
        rest.find_first_not_of("0123456789") != dash || dash > 9)
      continue;
    const long pid = std::strtol(rest.c_str(), nullptr, 10);
    if (pid <= 0 || pid == static_cast<long>(::getpid())) continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    struct stat st {};
    const std::string full = dir + "/" + name;
    if (::lstat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::unlink(full.c_str()) == 0)
      ++removed;
  }
  ::closedir(d);
  return removed;
}

}  // namespace

int RemoveStaleTemporaries(const std::string& target) {
  return RemoveStale(DirName(target), {BaseName(target)});
}

int RemoveStaleTemporariesIn(const std::string& dir, const std::set<std::string>& names) {
  return RemoveStale(dir, names);
}

SafeOutput::~SafeOutput() {
  if (file_ == nullptr || file_ == stdout) return;
  std::fclose(file_);
  if (!direct_) {
    ::unlink(temp_.c_str());
    Unregister(slot_);
  }
}

void SafeOutput::Forget() {
  Unregister(slot_);
  slot_ = -1;
  file_ = nullptr;
}

bool SafeOutput::Open(std::string& reason) {
  if (path_ == "-") {
    direct_ = true;
    file_ = stdout;
    return true;
  }
  target_ = FollowLinks(path_);
  struct stat st {};
  if (::stat(target_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    if (S_ISDIR(st.st_mode)) {
      reason = std::strerror(EISDIR);
      return false;
    }
    if (S_ISSOCK(st.st_mode)) {
      reason = "it is a socket (expected a file, a device or a FIFO)";
      return false;
    }
    // A device or a FIFO: written in place, never replaced.
    const int fd = S_ISFIFO(st.st_mode) ? OpenFifo(target_, reason)
                                        : ::open(target_.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
      if (reason.empty()) reason = std::strerror(errno);
      return false;
    }
    file_ = ::fdopen(fd, "w");
    if (file_ == nullptr) {
      reason = std::strerror(errno);
      ::close(fd);
      return false;
    }
    direct_ = true;
    return true;
  }
  if (clean_) RemoveStaleTemporaries(target_);
  std::string templ = target_ + ".tmp-" + std::to_string(::getpid()) + "-XXXXXX";
  const int fd = ::mkstemp(templ.data());
  if (fd < 0) {
    reason = std::strerror(errno);
    return false;
  }
  slot_ = Register(templ);
  // mkstemp makes the file private; a result file gets the usual mode.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  temp_ = templ;
  file_ = ::fdopen(fd, "w");
  if (file_ == nullptr) {
    reason = std::strerror(errno);
    ::close(fd);
    ::unlink(temp_.c_str());
    Unregister(slot_);
    slot_ = -1;
    return false;
  }
  return true;
}

bool SafeOutput::Commit(std::string& reason) {
  const std::string shown = path_ == "-" ? "standard output" : path_;
  if (file_ == stdout) {
    file_ = nullptr;
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      reason = WriteError(shown, errno);
      return false;
    }
    return true;
  }
  errno = 0;
  bool written = std::fflush(file_) == 0 && std::ferror(file_) == 0;
  int error = errno;
  if (written && !direct_ && ::fsync(::fileno(file_)) != 0) {
    written = false;
    error = errno;
  }
  const bool closed = std::fclose(file_) == 0;
  if (written && !closed) error = errno;
  if (direct_) {
    file_ = nullptr;
    if (!written || !closed) {
      reason = WriteError(shown, error);
      return false;
    }
    return true;
  }
  file_ = nullptr;
  if (!written || !closed) {
    reason = WriteError(shown, error);
    ::unlink(temp_.c_str());
    Forget();
    return false;
  }
  if (::rename(temp_.c_str(), target_.c_str()) != 0) {
    reason = "cannot rename the result into " + shown + ": " + std::strerror(errno);
    ::unlink(temp_.c_str());
    Forget();
    return false;
  }
  Forget();
  return true;
}

std::string SafeOutput::KeepPartial() {
  if (direct_) {
    if (file_ == stdout) {
      std::fflush(stdout);
    } else if (file_ != nullptr) {
      std::fclose(file_);
    }
    file_ = nullptr;
    return path_ == "-" ? "standard output" : path_;
  }
  std::fflush(file_);
  std::fclose(file_);
  file_ = nullptr;
  const std::string partial = target_ + ".partial";
  const bool kept = ::rename(temp_.c_str(), partial.c_str()) == 0;
  if (!kept) ::unlink(temp_.c_str());
  Forget();
  return kept ? partial : "";
}

std::string MetadataPath(const std::string& table) { return table + ".meta.json"; }

bool WriteCsvMetadata(const std::string& path, const RunSpec& spec, std::string& reason,
                      bool clean) {
  if (path == "-") return true;
  const std::string target = FollowLinks(path);
  const int fd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    reason = "cannot read " + path + " back for its metadata: " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return true;  // a device or a FIFO keeps no metadata
  }
  Sha256 sha;
  std::size_t bytes = 0;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      reason = "cannot read " + path + " back for its metadata: " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    sha.Update(std::string_view(buf, static_cast<std::size_t>(n)));
    bytes += static_cast<std::size_t>(n);
  }
  ::close(fd);
  const Layout layout = LayoutFor(spec);
  const std::string text =
      TableMetadata(layout.kind, ParametersJson(spec), layout.columns, bytes, sha.HexDigest());
  const std::string meta = MetadataPath(path);
  SafeOutput out(meta, clean);
  if (!out.Open(reason)) {
    reason = meta + ": cannot create the metadata file: " + reason;
    return false;
  }
  std::fputs(text.c_str(), out.file());
  return out.Commit(reason);
}

}  // namespace chainmelt
