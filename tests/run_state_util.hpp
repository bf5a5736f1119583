// A run state of n0 components at temperature T, for tests of the searches.
#pragma once

#include "model/run_state.hpp"

namespace chainmelt::testing {

inline RunState State(int n0, double T) {
  RunState rs;
  rs.n0 = n0;
  rs.T = T;
  return rs;
}

}  // namespace chainmelt::testing
