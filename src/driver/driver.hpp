// Program entry: command line, output files, sweep and dispatch.
#pragma once

namespace chainmelt {

// Runs the whole program; returns the process exit status.
int Main(int argc, char** argv);

}  // namespace chainmelt
