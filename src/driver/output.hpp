// Result files: the classic "output.out" and the safe output of the named
// form and of batches.
//
// A regular file (or a name not yet taken) is written under a temporary name
// beside it and renamed into place when complete, so an existing result is
// replaced only by a complete one.  A symbolic link is followed: its target
// is replaced the same way and the link stays.  Anything else (a character
// or block device, a FIFO) is written directly, never replaced.  Temporaries
// are named FILE.tmp-PID-XXXXXX: they are removed when the process is ended
// by SIGINT, SIGTERM or SIGHUP, and the next process writing FILE removes
// those of processes that no longer exist (after kill -9).
#pragma once

#include <cstdio>
#include <set>
#include <string>

#include "run/spec.hpp"

namespace chainmelt {

// Opens `name` for writing, truncated, without waiting for a reader (a FIFO
// without one is refused rather than waited for) and refusing FIFOs and
// sockets.  Returns null with the reason (strerror or what the file is).
std::FILE* OpenForWriting(const std::string& name, std::string& reason);

// Flushes and closes `file` (which may be null); returns false when anything
// written to it was lost.
bool CloseChecked(std::FILE* file);

// "error writing PATH: REASON" for the last failed operation on a stream
// (errno as the failure left it).
std::string WriteError(const std::string& path, int error);

// Where a path leads after its symbolic links (relative links resolved
// against the directory of the link); the path itself when it is not a link
// or the chain is too long (the open then fails with its own reason).
std::string FollowLinks(const std::string& path);

// Removes FILE.tmp-PID-XXXXXX beside `target` for every PID that is no
// longer a process.  Returns how many were removed.
int RemoveStaleTemporaries(const std::string& target);
// The same for every FILE of `names` in directory `dir` (one scan of a
// batch's output directory rather than one per result file).  Only those
// names: the shards of a batch on other machines, whose process ids mean
// nothing here, write other files.
int RemoveStaleTemporariesIn(const std::string& dir, const std::set<std::string>& names);

// The metadata file beside a CSV table: PATH.meta.json.
std::string MetadataPath(const std::string& table);

// Writes the metadata of the CSV table just put in place at `path` (its
// kind, the parameters of `spec`, its columns and their units, its length
// and checksum; see TableMetadata) to MetadataPath(path), as a result file
// is written (with `clean` false the caller has removed stale temporaries
// itself, as for SafeOutput).  Nothing for a table that is not a regular
// file (standard output, a device, a FIFO).  False with one line in
// `reason` on failure.
bool WriteCsvMetadata(const std::string& path, const RunSpec& spec, std::string& reason,
                      bool clean = true);

// A result file as described above.  Commit() puts it in place;
// KeepPartial() keeps what was written as PATH.partial (a file written
// directly is simply closed); otherwise the destructor removes the
// temporary.  PATH "-" writes to standard output directly.
class SafeOutput {
 public:
  // With `clean` false, the caller has removed stale temporaries itself.
  explicit SafeOutput(std::string path, bool clean = true)
      : path_(std::move(path)), clean_(clean) {}
  ~SafeOutput();
  SafeOutput(const SafeOutput&) = delete;
  SafeOutput& operator=(const SafeOutput&) = delete;

  // Creates the temporary file or opens the special file; false with the
  // reason on failure.
  bool Open(std::string& reason);
  std::FILE* file() const { return file_; }
  // The path as given (what messages name).
  const std::string& path() const { return path_; }
  // True when the result goes straight to its destination (standard
  // output, a device, a FIFO): nothing is renamed and nothing is kept aside.
  bool direct() const { return direct_; }
  // False with "error writing PATH: REASON" when anything was lost.
  bool Commit(std::string& reason);
  // The name the partial result was kept under, or "" when it could not be.
  std::string KeepPartial();

 private:
  void Forget();

  std::string path_;
  std::string target_;  // path_ after its symbolic links
  std::string temp_;
  std::FILE* file_ = nullptr;
  bool clean_ = true;
  bool direct_ = false;
  int slot_ = -1;  // where the temporary is registered for the signal handler
};

}  // namespace chainmelt
