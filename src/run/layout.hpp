// Record kinds: the named, typed columns of every task layout, with their
// units in the unit system of the run.  The tasks declare them (each task's
// record is one list of (name, unit, value) entries, tasks/record.hpp); this
// is the run layer's view of them.
#pragma once

#include <string>
#include <vector>

#include "run/spec.hpp"
#include "tasks/record.hpp"

namespace chainmelt {

// Column (name, unit, integer) is declared with the records, in
// tasks/record.hpp.  Units: "energy" and "temperature" are the run's own unit
// (the Boltzmann constant is 1); "k_B" heat capacities and entropies; "1"
// pure numbers.

struct Layout {
  // The task name, or "heat-mean-field" for heat with n0 = 1.
  std::string kind;
  std::vector<Column> columns;
  // Number of leading columns that the classic output writes when a record
  // is begun before it is complete (size: the peak part); 0 otherwise.
  std::size_t partial_columns = 0;
};

// Names of the state variables p1 ... pn0 of a variant (with the
// ligand-activity mode for n0 = 2).
std::vector<std::string> StateNames(int n0, bool alt_mode);

// The layout of the records a run writes (no columns for a task that does
// not exist).
Layout LayoutFor(const RunSpec& spec);

}  // namespace chainmelt
