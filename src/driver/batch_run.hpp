// One run of a batch as the batch keeps it, and the tables made of runs.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/named.hpp"
#include "run/runs_table.hpp"
#include "run/sinks.hpp"
#include "run/spec.hpp"

namespace chainmelt {

struct BatchRun {
  int line = 0;
  std::string text;
  std::string key;  // of the line's text
  bool recorded = false;  // done by an earlier batch (--resume)
  bool named = false;     // a parameter file, not a classic command line
  RunSpec spec;
  std::string status = "ok";  // a word of kRunStatuses
  std::string message;
  std::size_t records = 0;
  double seconds = 0;
  TableSink table;
};

// The combined table of `runs` (those that wrote records) in `format`
// (not classic); false when a write failed.
bool WriteCombined(const std::vector<BatchRun>& runs, OutputFormat format, std::FILE* f);

// The row of the runs table of a run.
RunRow RowOf(const BatchRun& r, const std::string& worker);

}  // namespace chainmelt
