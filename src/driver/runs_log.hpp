// The runs table of a batch's output directory (the layout of
// run/runs_table.hpp): written whole, appended to as runs end, read back
// for --resume.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "run/runs_table.hpp"

namespace chainmelt {

// The runs table of a batch: rows appended and synced as runs finish, so a
// killed batch keeps the statuses of every run it completed; rewritten in
// line order when the batch ends.
class RunsLog {
 public:
  explicit RunsLog(std::string path) : path_(std::move(path)) {}
  ~RunsLog();
  RunsLog(const RunsLog&) = delete;
  RunsLog& operator=(const RunsLog&) = delete;
  const std::string& path() const { return path_; }

  // Writes the table with `rows` (in line order) in place of what was
  // there; with `append` it stays open for Append().
  bool Write(const std::vector<RunRow>& rows, bool append, std::string& reason);
  // Appends one row durably; the first failure is kept for Failure().
  void Append(const RunRow& row);
  const std::string& Failure() const { return failure_; }

 private:
  std::string path_;
  int fd_ = -1;
  std::mutex mutex_;
  std::string failure_;
};

// The rows of an earlier runs table, the last one of each run; a line cut
// short or damaged is left out (its run is done again).  False with the
// reason when the file cannot be read or holds another layout.
bool ReadRuns(const std::string& path, std::map<long, RunRow>& rows, std::string& reason);

}  // namespace chainmelt
