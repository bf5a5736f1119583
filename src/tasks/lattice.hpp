// The heat and phase tasks by the Monte Carlo of the exact lattice (the method
// "montecarlo"): one parallel-tempering simulation over the whole sweep,
// its measurements written as records with their standard errors.
#pragma once

#include <memory>
#include <string_view>

#include "lattice/lattice.hpp"
#include "model/run_state.hpp"
#include "tasks/record.hpp"
#include "tasks/tasks.hpp"

namespace chainmelt {

// The records of the heat or phase task by the Monte Carlo method: kind
// "heat-montecarlo" or "phase-montecarlo".
RecordLayout LatticeLayout(std::string_view task);

// The task for a run: it takes the whole sweep in one call (the run's
// threads spread the replicas; settings.threads is replaced by them).
std::unique_ptr<Task> MakeLatticeTask(const RunState& rs, const lattice::Settings& settings);

}  // namespace chainmelt
