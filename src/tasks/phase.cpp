// Task "phase": the equilibrium state at the current sweep point, the lower
// of the gel-rich and the fluid-rich minimum.
#include "search/equilibrium.hpp"
#include "search/search.hpp"
#include "tasks/record.hpp"
#include "tasks/tasks.hpp"

namespace chainmelt {

void TaskPhase(RunState& rs) {
  if (rs.equilibrium) {
    NoteEquilibrium(rs, StepOrderEquilibrium(rs));
    if (rs.fret0 == kSentinel) return;
    Emit(rs, RecordBuf().Add(rs.T).AddState(rs.p0, rs.n0).Add(rs.fret0).Add(rs.iter));
    return;
  }
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

  Emit(rs, RecordBuf().Add(rs.T).AddState(rs.p0, rs.n0).Add(rs.fret0).Add(rs.iter));
  WarnIfNotEquilibrium(rs, "phase");
}

}  // namespace chainmelt
