// The five tasks, one routine per task name.  Each runs at the current sweep
// point of the run state and appends its records to rs.out_ptr.
#pragma once

#include "model/run_state.hpp"

namespace chainmelt {

void TaskPhase(RunState& rs);
void TaskCoexist(RunState& rs);
void TaskHeat(RunState& rs);
// The part of TaskHeat after its search: the heat capacity at p0/fret0/iter
// and the record (for n0 = 1 from the free-energy history alt1, alt2).
void TaskHeatAfterSearch(RunState& rs);
// The search of TaskHeat alone (p0, fret0, iter and the equilibrium fields).
void HeatSearch(RunState& rs);
void TaskSize(RunState& rs);
void TaskCrit(RunState& rs);

}  // namespace chainmelt
