// Result files: the classic "output.out" and the safe output of the named
// form (written under a temporary name, renamed into place when complete).
#pragma once

#include <cstdio>
#include <string>

namespace chainmelt {

// Opens `name` for writing, truncated, without waiting for a reader (a FIFO
// without one is refused rather than waited for) and refusing FIFOs and
// sockets.  Returns null with the reason (strerror or what the file is).
std::FILE* OpenForWriting(const std::string& name, std::string& reason);

// Flushes and closes `file` (which may be null); returns false when anything
// written to it was lost.
bool CloseChecked(std::FILE* file);

// A result file written as PATH.tmp-XXXXXX in PATH's directory.  Commit()
// renames it to PATH (so an existing PATH is replaced only by a complete
// result); KeepPartial() renames it to PATH.partial; otherwise the
// destructor removes it.  PATH "-" writes to standard output directly.
class SafeOutput {
 public:
  explicit SafeOutput(std::string path) : path_(std::move(path)) {}
  ~SafeOutput();
  SafeOutput(const SafeOutput&) = delete;
  SafeOutput& operator=(const SafeOutput&) = delete;

  // Creates the temporary file; false with the reason on failure.
  bool Open(std::string& reason);
  std::FILE* file() const { return file_; }
  const std::string& path() const { return path_; }
  bool Commit(std::string& reason);
  // The name the partial result was kept under, or "" when it could not be.
  std::string KeepPartial();

 private:
  std::string path_;
  std::string temp_;
  std::FILE* file_ = nullptr;
  bool to_stdout_ = false;
};

}  // namespace chainmelt
