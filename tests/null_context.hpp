// A run context that drops everything, for tests of the searches and tasks
// that look only at the run state.
#pragma once

#include "model/context.hpp"

namespace chainmelt::testing {

struct NullContext : RunContext {
  void Record(const double*, std::size_t) override {}
  void Partial(const double*, std::size_t) override {}
  void Truncated(const double*, std::size_t) override {}
  void ProgressLine(const char*) override {}
  void DiagnosticLine(const char*) override {}
};

}  // namespace chainmelt::testing

#include <string>
#include <vector>

namespace chainmelt::testing {

// A run context that keeps the records and lines it is handed.
struct RecordingContext : RunContext {
  std::vector<std::vector<double>> records;
  std::vector<std::string> lines;
  void Record(const double* v, std::size_t n) override { records.emplace_back(v, v + n); }
  void Partial(const double*, std::size_t) override {}
  void Truncated(const double* v, std::size_t n) override { records.emplace_back(v, v + n); }
  void ProgressLine(const char* text) override { lines.emplace_back(text); }
  void DiagnosticLine(const char* text) override { lines.emplace_back(text); }
};

}  // namespace chainmelt::testing
