// The table of runs that batches and scans keep beside their results
// (runs.tsv): one tab-separated line per finished run,
//
//   run  key  [FIELD ...]  status  records  seconds  worker  message  [EXTRA ...]
//
// `run` numbers the run (a batch: its line in the batch file; a scan: its
// place in the grid), `key` is a hash of everything the run was given (a
// changed input is a new run), the FIELD columns are what the front end
// varies between runs (a scan's scanned fields; none for a batch), and the
// EXTRA columns belong to the store (a scan's `records_end`).  A message
// has its blanks collapsed so that it stays one cell.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace chainmelt {

// The words of the status column, for batches and scans alike:
//   ok         the run completed and every record is written;
//   refused    the run's parameters were refused before it started;
//   fatal      the run stopped with an error (records before it are kept);
//   nonfinite  records with a field that is not a finite number were left out;
//   output     the results could not be written (a batch: its result file);
//   lost       the run never came back (a scan: a worker died with it).
inline constexpr const char* kRunStatuses[] = {"ok",        "refused", "fatal",
                                               "nonfinite", "output",  "lost"};
bool IsRunStatus(std::string_view word);

struct RunRow {
  long run = 0;
  std::string key;
  std::vector<std::string> fields;  // the FIELD cells
  std::string status = "ok";
  std::size_t records = 0;
  double seconds = 0;
  std::string worker;
  std::string message;
  std::vector<std::string> extra;  // the EXTRA cells
};

// The header line (with its newline).
std::string RunsHeader(const std::vector<std::string>& fields,
                       const std::vector<std::string>& extra = {});
// One row as a line (with its newline); cells are cleaned of tabs and newlines.
std::string RunsLine(const RunRow& row);
// Reads back a line (without its newline) of a table with `fields` FIELD and
// `extra` EXTRA columns; nothing when it is not a well-formed row.
std::optional<RunRow> ParseRunsLine(std::string_view line, std::size_t fields,
                                    std::size_t extra);

// A text as one cell: every run of blanks (tabs and newlines included) one
// space, none at either end.
std::string RunsCell(std::string_view text);

// 16 hexadecimal digits identifying a text (64-bit FNV-1a).
std::string RunKey(std::string_view text);

}  // namespace chainmelt
