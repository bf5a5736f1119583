// Command line: the 24 positional arguments, checked in full before any file
// is touched.
#pragma once

#include <string>
#include <vector>

#include "model/run_state.hpp"

namespace chainmelt {

// Number of positional arguments of a calculation.
inline constexpr int kNumArgs = 24;

enum class CliAction { kRun, kHelp, kVersion, kError };

struct CliResult {
  CliAction action = CliAction::kError;
  // For kError: one line (no newline, no program prefix) naming the argument
  // position, its name, what was expected and what was given.
  std::string message;
};

// Name of argument `position` (1..24) as the usage text and the messages
// spell it.
const char* ArgName(int position);

// Reads `args` (the command line without the program name) into rs: n0, T,
// para (with dH and dS derived when argument 7 is 0), T_min, T_max, dT, task,
// approx.  rs is complete only when the action is kRun.
CliResult ParseCommandLine(const std::vector<std::string>& args, RunState& rs);

// The text printed by --help.
std::string UsageText();

}  // namespace chainmelt
