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
