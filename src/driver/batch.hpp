// chainmelt batch FILE: many runs in one process.
#pragma once

#include <string>
#include <vector>

namespace chainmelt {

// The words after "batch"; returns the exit status (0 when every run
// succeeded, 1 when one did not, 2 for a refused batch command line).
int RunBatch(const std::vector<std::string>& args);

}  // namespace chainmelt
