// The five tasks.  Each runs at the current sweep point of the run state and
// hands its records to rs.ctx; what a task remembers from point to point
// lives in a small object of its own.  The registry (tasks/registry.hpp)
// makes them by name.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "model/run_state.hpp"
#include "model/workspace.hpp"
#include "numeric/arrays.hpp"
#include "search/search.hpp"

namespace chainmelt {

// What the search of one sweep point of a concurrent task found: the state,
// and with the equilibrium search its family (0 gel-rich, 1 fluid-rich), the
// number of distinct minima and the energy U = F + T*S.
struct PointResult {
  Minimum state;
  int branch = 0;
  int minima = 0;
  double U = 0;
};

// A task of a run, made once per run.
class Task {
 public:
  virtual ~Task() = default;
  // The task at the current sweep point (for a task that runs once, the
  // whole task).
  virtual void Run(RunState& rs) = 0;

  // Concurrent tasks split a point in two: Search may run on its own copy of
  // the run state, with its own task object, at the generator state Draws
  // leaves; Finish then runs on this object, in sweep order.
  virtual PointResult Search(RunState& rs) {
    Run(rs);
    return {};
  }
  virtual void Finish(RunState&, const PointResult&) {}
  // The random draws of Search alone (idum advances as Search would).
  virtual void Draws(RunState&) {}

  // Tasks that evaluate a whole sweep in one call (phase and heat under the
  // equilibrium search: one equilibrium curve) say so here; the run then
  // calls RunSweep instead of Run at every point and does not split the
  // sweep over its threads.
  virtual bool TakesWholeSweep(const RunState&) const { return false; }
  // xs: the sweep values in the order given; threads: the run's threads,
  // for the task to use.  at_point(k) sets the k-th value and writes its
  // progress line; the task calls it before the records of that value.
  virtual void RunSweep(RunState&, const std::vector<double>& /*xs*/, int /*threads*/,
                        const std::function<void(std::size_t)>& /*at_point*/) {}
};

// phase: the lower of the gel-rich and the fluid-rich minimum.
void TaskPhase(RunState& rs, HesseWork& work);

// heat: the history of the previous points.
struct HeatHistory {
  double alt1 = 0, alt2 = 0;  // n0 = 1: free energies of the last two points
  // The previous point of an equilibrium heat curve (latent heats).
  bool have_prev = false;
  int branch_prev = 0, minima_prev = 0;
  double U_prev = 0;
};
void TaskHeat(RunState& rs, HeatHistory& history, HesseWork& work);
// The search of TaskHeat alone.
PointResult HeatSearch(RunState& rs, HesseWork& work);
// The part of TaskHeat after its search: the heat capacity at the state
// found and the record (for n0 = 1 from the free-energy history).
void TaskHeatAfterSearch(RunState& rs, HeatHistory& history, HesseWork& work,
                         const PointResult& point);

// coexist: the melting enthalpy of equal free energies at the current T.
void TaskCoexist(RunState& rs, HesseWork& work);

// size: the three-point free-energy history of the inner sweep.
struct SizeHistory {
  double alt1 = 0, alt2 = 0, alt3 = 0;
};
void TaskSize(RunState& rs, SizeHistory& history);

// crit: pp is the point (dH, T) of the critical-point search, [1..2].
void TaskCrit(RunState& rs, HesseWork& work, Vector& pp);

}  // namespace chainmelt
