// Placeholder definitions until the search and the phase tasks land; delete with them.
#include "search/search.hpp"
#include "tasks/tasks.hpp"

namespace chainmelt {
void StepOrderCont(RunState&) {}
void StepOrderGlobal(RunState&) {}
void StepOrderDiscont(RunState&) {}
void TaskPhase(RunState&) {}
void TaskCoexist(RunState&) {}
}  // namespace chainmelt
