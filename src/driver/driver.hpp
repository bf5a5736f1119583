// Program entry: command line, output files, sweep and dispatch.
#pragma once

#include <cstdio>

#include "model/run_state.hpp"

namespace chainmelt {

// Runs the whole program; returns the process exit status: 0 after a complete
// run, 1 when output.out cannot be created or written or after a fatal
// numerical error, 2 for a rejected command line.
int Main(int argc, char** argv);

// Walks the sweep value from T_min to T_max in accumulated steps of dT, sets T
// (or para.dH for the selector "H") at every point, prints the progress line
// and calls the task.  "size" and "crit" run once, at the first point.
void RunSweep(RunState& rs);

// Flushes and closes `file` (which may be null); returns false when anything
// written to it was lost.
bool CloseChecked(std::FILE* file);

}  // namespace chainmelt
