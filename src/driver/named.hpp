// The named-option command line: chainmelt run [FILE.toml] [--FIELD VALUE]...
#pragma once

#include <string>
#include <vector>

#include "run/params_file.hpp"
#include "run/spec.hpp"

namespace chainmelt {

enum class OutputFormat { kClassic, kTsv, kCsv, kJsonl };

struct NamedRun {
  RunSpec spec;
  Sources sources;
  std::string output = "-";
  OutputFormat format = OutputFormat::kTsv;
  bool threads_given = false;
  // One line each: parameters given that the task and variant do not read.
  std::vector<std::string> warnings;
};

enum class NamedAction { kRun, kHelp, kError };

// The one-line refusal of a word that no option of `command` ("chainmelt
// run") took: an unknown option with the one of `options` it most likely
// meant, or a positional word too many (`positionals` says how many there
// may be).
std::string ExtraWordMessage(const std::string& word, const std::vector<std::string>& options,
                             const std::string& command, const std::string& positionals);

// Parses the words after "run".  kHelp leaves the help text in `message`,
// kError one line.  On kRun the run has passed every check.
NamedAction ParseNamed(const std::vector<std::string>& args, NamedRun& run, std::string& message);

}  // namespace chainmelt
