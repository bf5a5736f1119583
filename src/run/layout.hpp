// Record kinds: the named, typed columns of every task layout, with their
// units in the unit system of the run.
#pragma once

#include <string>
#include <vector>

#include "run/spec.hpp"

namespace chainmelt {

// Units: "energy" and "temperature" are the run's own unit (the Boltzmann
// constant is 1); "k_B" heat capacities and entropies; "1" pure numbers.
struct Column {
  std::string name;
  std::string unit;
  bool integer = false;  // printed as a whole number (iter)
};

struct Layout {
  // "phase", "coexist", "heat", "heat-mean-field", "size" or "crit".
  std::string kind;
  std::vector<Column> columns;
  // Number of leading columns that the classic output writes when a record
  // is begun before it is complete ("size": the peak part); 0 otherwise.
  std::size_t partial_columns = 0;
};

// Names of the state variables p1 ... pn0 of a variant (with the
// ligand-activity mode for n0 = 2).
std::vector<std::string> StateNames(int n0, bool alt_mode);

// The layout of the records a run writes.
Layout LayoutFor(const RunSpec& spec);

}  // namespace chainmelt
