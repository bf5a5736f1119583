// The classic searches: feasible random starts minimised by conjugate
// gradients.  Each returns what it found; the run state gives them the model,
// the tolerance and the random generator (which they advance).
#pragma once

#include "model/run_state.hpp"
#include "model/workspace.hpp"
#include "numeric/arrays.hpp"

namespace chainmelt {

// A minimum: the state, its free energy and the conjugate-gradient
// iterations of the minimisation that produced it.
struct Minimum {
  StateVec p;
  double f = 0;
  int iter = 0;
};

// One feasible random start, minimised.
Minimum StepOrderCont(RunState& rs);
// Best of five feasible random starts; iter is that of the last of the five
// runs (which the records report), not necessarily of the best.
Minimum StepOrderGlobal(RunState& rs);

// The best of five phase starts of each family.
struct FamilyMinima {
  Minimum gel;    // gel-rich family (fluid fraction 0.2 at the start)
  Minimum fluid;  // fluid-rich family (0.8 - conc at the start)
  int iter = 0;   // iterations of the last run (the records report these)
};
FamilyMinima StepOrderDiscont(RunState& rs);

// The random draws of StepOrderCont and StepOrderDiscont alone: idum
// advances exactly as the full search would advance it (the fatal error of
// a start that can never be feasible included).
void StepOrderContDraws(RunState& rs);
void StepOrderDiscontDraws(RunState& rs);

// Critical-point objective: sets (para.dH, T) = (x[1], x[2]), searches the
// equilibrium with StepOrderGlobal and returns the scaled Hessian determinant
// there; the minimum found goes to *at when given.  work holds the Hessian.
double StepDet(RunState& rs, HesseWork& work, const Vector& x, Minimum* at = nullptr);

}  // namespace chainmelt
