// Task "phase": the equilibrium state at the current sweep point, the lower
// of the gel-rich and the fluid-rich minimum.
#include <cstdio>

#include "search/search.hpp"
#include "tasks/tasks.hpp"

namespace chainmelt {

void TaskPhase(RunState& rs) {
  StepOrderDiscont(rs);

  // The fluid-rich family wins ties.
  if (rs.fret2 > rs.fret1) {
    rs.fret0 = rs.fret1;
    for (int i = 1; i <= rs.n0; ++i) rs.p0[i] = rs.p1[i];
  } else {
    rs.fret0 = rs.fret2;
    for (int i = 1; i <= rs.n0; ++i) rs.p0[i] = rs.p2[i];
  }

  if (rs.fret1 == kSentinel || rs.fret2 == kSentinel) return;

  std::fprintf(rs.out_ptr, "%f ", rs.T);
  for (int i = 1; i <= rs.n0; ++i) std::fprintf(rs.out_ptr, "%f ", rs.p0[i]);
  std::fprintf(rs.out_ptr, "%f %i ", rs.fret0, rs.iter);
  std::fprintf(rs.out_ptr, "\n");
}

}  // namespace chainmelt
