// Building blocks of the continuation engine: Newton minimisation on the
// closed-form Hessian, continuation of one minimum from one sweep value to
// another, the observables of a minimum, and the one place that asks the
// global search for the minima at a point.  Internal to src/search.
#pragma once

#include <memory>

#include "model/params.hpp"
#include "model/run_state.hpp"
#include "model/workspace.hpp"
#include "numeric/arrays.hpp"
#include "search/continuation.hpp"

namespace chainmelt::cont {

// States closer than this in every component are one minimum (the global
// search's own criterion).
inline constexpr double kSameState = 1e-6;
// Most distinct minima the global search hands over at one point.
inline constexpr int kMaxGlobal = 8;

struct Min {
  StateVec p;
  double F = 0;
};

// Working matrices of one thread, sized once (every routine below that
// takes one allocates nothing).
struct Work {
  Matrix h{1, kMaxVars, 1, kMaxVars};
  Matrix inv{1, kMaxVars, 1, kMaxVars};
};

// The energy scale of the model at its temperature (sum of the magnitudes of
// every energy term and T): the scale of every free-energy tolerance.
double Scale(const Model& m);

// Sets the swept quantity of m to x.
void SetSweep(Model& m, SweepVar var, double x);

bool SameState(const Model& m, const StateVec& a, const StateVec& b);

// True for the variants the engine continues (n0 = 1, 2, 4, 5, 8 outside the
// ligand-activity mode, whose states are not minima).
bool Trackable(const Model& m);

enum class NewtonStatus { kConverged, kIndefinite, kStuck, kTooMany, kInfeasible };

// Damped Newton iteration for a minimum from p: steps -H^-1 g, halved until
// the state is feasible and F does not rise beyond rounding; a Hessian that
// is not positive definite ends it (kIndefinite).  max_halvings bounds the
// halvings of one step.  Strict (a continuation): every step must lower the
// decrement to less than half and be halved only to stay feasible, or the
// start was not in the minimum's quadratic region (kStuck).  On kConverged p
// is the minimum and F its free energy; steps counts the Newton steps taken;
// first, when given, receives the first full Newton step.
NewtonStatus NewtonMin(const Model& m, StateVec& p, double& F, int max_iter, int max_halvings,
                       int& steps, Work& w, bool strict = false, StateVec* first = nullptr);

// Continues the minimum p (of the model at x0) to x1: Newton from p at x1,
// and where that does not converge smoothly, the interval halved (to a depth
// of 1/2^12).  With a guess (the extrapolation of the branch's last two
// points), a few full Newton steps from it are tried first; they count only
// when they end no farther from the guess than p is.  False when the minimum
// cannot be followed to x1 (it vanished or its Hessian turned indefinite); p
// and F are then unchanged.
bool Continue(const Model& base, SweepVar var, double x0, double x1, StateVec& p, double& F,
              int& steps, Work& w, const StateVec* guess = nullptr);

// The minimiser's answer where Newton failed: conjugate gradients from p
// (walled at the edge of the region), polished by Newton.  False when the run
// fails (its FatalError is caught) or ends away from a minimum.
bool MinimiserFallback(const Model& m, StateVec& p, double& F, int& steps, Work& w);

// U = F - T dF/dT at the state p, and the heat capacity dU/dT along the
// minimum at p: from the inverse Hessian for the pair variants, from the
// derivatives at the state itself for n0 = 1.
double Energy(const Model& m, const StateVec& p);
double HeatCapacity(const Model& m, const StateVec& p, Work& w);

// Every distinct minimum the global search finds at the model m, polished by
// Newton; returns their number.  A global search that fails is replaced by
// starts of this unit, each of which may fail on its own.  This is the one
// place that calls the global search.
class GlobalSearch {
 public:
  GlobalSearch();
  ~GlobalSearch();
  int Find(const Model& m, Min* out, int& failed_starts, int& iterations, Work& w);

 private:
  std::unique_ptr<RunState> rs_;
  std::unique_ptr<HesseWork> work_;
};

}  // namespace chainmelt::cont
