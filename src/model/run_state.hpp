// The globals of one run: the model, the sweep settings, the random
// generator, the tolerance of the minimisations and where records go.  The
// searches return their results and the tasks keep their own history, so
// nothing else lives here.  Created once per run and handed to the searches
// and the tasks.
#pragma once

#include <cstdint>
#include <string>

#include "model/context.hpp"
#include "model/params.hpp"
#include "numeric/ran0.hpp"

namespace chainmelt {

struct RunState : Model {
  double T_min = 0, T_max = 0, dT = 0;
  std::string approx;  // first argument, read and never used
  std::string task;

  std::int32_t idum = kSeed;
  double ftol = 1e-15;

  // The equilibrium search (the default of the named form, TOML and Python;
  // off for the classic command line): the tasks that ask for the lowest
  // minimum use it instead of their random starts.
  bool equilibrium = false;

  // Records, progress lines and diagnostics of the run (not owned).
  RunContext* ctx = nullptr;
};

}  // namespace chainmelt
