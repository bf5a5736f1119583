#include "driver/runs_log.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "driver/output.hpp"

namespace chainmelt {

namespace fs = std::filesystem;

RunsLog::~RunsLog() {
  if (fd_ >= 0) ::close(fd_);
}

bool RunsLog::Write(const std::vector<RunRow>& rows, bool append, std::string& reason) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  SafeOutput out(path_);
  if (!out.Open(reason)) return false;
  std::string text = RunsHeader({});
  for (const RunRow& r : rows) text += RunsLine(r);
  std::fputs(text.c_str(), out.file());
  if (!out.Commit(reason)) return false;
  if (!append) return true;
  fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd_ < 0) {
    reason = WriteError(path_, errno);
    return false;
  }
  return true;
}

void RunsLog::Append(const RunRow& row) {
  const std::string line = RunsLine(row);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!failure_.empty()) return;
  for (std::size_t at = 0; at < line.size();) {
    const ssize_t n = ::write(fd_, line.data() + at, line.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failure_ = WriteError(path_, errno);
      return;
    }
    at += static_cast<std::size_t>(n);
  }
  if (::fsync(fd_) != 0 && errno != EINVAL) failure_ = WriteError(path_, errno);
}

bool ReadRuns(const std::string& path, std::map<long, RunRow>& rows, std::string& reason) {
  std::error_code ec;
  if (!fs::exists(path, ec)) return true;
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    reason = path + ": cannot read it: " +
             (errno != 0 ? std::strerror(errno) : std::string("unreadable"));
    return false;
  }
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const std::string header = RunsHeader({});
  if (text.empty()) return true;
  if (text.compare(0, header.size(), header) != 0) {
    reason = path + ": expected a runs table starting with the columns " +
             RunsCell(header) + " (run the batch without --resume to start afresh)";
    return false;
  }
  for (std::size_t at = header.size(); at < text.size();) {
    const std::size_t nl = text.find('\n', at);
    if (nl == std::string::npos) break;  // the last line, cut short
    if (auto row = ParseRunsLine(std::string_view(text).substr(at, nl - at), 0, 0))
      rows[row->run] = std::move(*row);
    at = nl + 1;
  }
  return true;
}

}  // namespace chainmelt
