// Program entry: the classic command line and the named-option form.
#pragma once

namespace chainmelt {

// Runs the whole program; returns the process exit status: 0 after a
// complete run, 1 when a result cannot be written, after a fatal numerical
// error or when a record had a field that is not a finite number, 2 for a
// refused command line.
int Main(int argc, char** argv);

}  // namespace chainmelt
