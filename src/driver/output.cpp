#include "driver/output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace chainmelt {

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

SafeOutput::~SafeOutput() {
  if (file_ != nullptr && !to_stdout_) {
    std::fclose(file_);
    ::unlink(temp_.c_str());
  }
}

bool SafeOutput::Open(std::string& reason) {
  if (path_ == "-") {
    to_stdout_ = true;
    file_ = stdout;
    return true;
  }
  std::string templ = path_ + ".tmp-XXXXXX";
  const int fd = ::mkstemp(templ.data());
  if (fd < 0) {
    reason = std::strerror(errno);
    return false;
  }
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
    return false;
  }
  return true;
}

bool SafeOutput::Commit(std::string& reason) {
  if (to_stdout_) {
    file_ = nullptr;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      reason = "error writing standard output";
      return false;
    }
    return true;
  }
  const bool written = std::fflush(file_) == 0 && std::ferror(file_) == 0 &&
                       ::fsync(::fileno(file_)) == 0;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if (!written || !closed) {
    reason = "error writing " + path_;
    ::unlink(temp_.c_str());
    return false;
  }
  if (::rename(temp_.c_str(), path_.c_str()) != 0) {
    reason = "cannot rename the result into " + path_ + ": " + std::strerror(errno);
    ::unlink(temp_.c_str());
    return false;
  }
  return true;
}

std::string SafeOutput::KeepPartial() {
  if (to_stdout_) {
    file_ = nullptr;
    std::fflush(stdout);
    return "standard output";
  }
  std::fflush(file_);
  std::fclose(file_);
  file_ = nullptr;
  const std::string partial = path_ + ".partial";
  if (::rename(temp_.c_str(), partial.c_str()) != 0) {
    ::unlink(temp_.c_str());
    return "";
  }
  return partial;
}

}  // namespace chainmelt
