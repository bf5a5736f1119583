// The classic command line: the 24 positional arguments, checked in full
// before any file is touched.
#pragma once

#include <string>
#include <vector>

#include "run/spec.hpp"

namespace chainmelt {

enum class CliAction { kRun, kHelp, kVersion, kError };

struct CliResult {
  CliAction action = CliAction::kError;
  // For kError: one line (no newline, no program prefix) naming the argument
  // position, its name, what was expected and what was given.
  std::string message;
};

// Reads `args` (the command line without the program name) into spec, with
// dH and dS derived when argument 7 is 0.  spec is complete only when the
// action is kRun.
CliResult ParseCommandLine(const std::vector<std::string>& args, RunSpec& spec);

// True when `args` is a classic command line: 24 arguments, none beginning
// with "--".
bool IsClassicForm(const std::vector<std::string>& args);

// For a command line that is neither a subcommand nor of the classic form's
// length and whose first word looks meant as a subcommand (not an option,
// not followed by a task name): the one-line refusal naming it, with the
// subcommand it most likely meant.  "" otherwise.
std::string UnknownSubcommand(const std::vector<std::string>& args);

// The text printed by --help.
std::string UsageText();

}  // namespace chainmelt
