// Equilibrium search: random feasible starts minimised by conjugate gradients.
#pragma once

#include "model/run_state.hpp"
#include "numeric/arrays.hpp"

namespace chainmelt {

// One feasible random start, minimised: p0, fret0, iter.
void StepOrderCont(RunState& rs);
// Best of five feasible random starts: p0, fret0 (p1, fret1 the last run).
void StepOrderGlobal(RunState& rs);
// Best of the gel-rich family in p1/fret1, of the fluid-rich family in
// p2/fret2 (p0/fret0 the last run).
void StepOrderDiscont(RunState& rs);

// The random draws of StepOrderCont and StepOrderDiscont alone: idum
// advances exactly as the full search would advance it (the fatal error of
// a start that can never be feasible included), p0 is scratch.
void StepOrderContDraws(RunState& rs);
void StepOrderDiscontDraws(RunState& rs);

// Critical-point objective: sets (para.dH, T) = (x[1], x[2]), searches the
// equilibrium and returns the scaled Hessian determinant there.
double StepDet(RunState& rs, const Vector& x);

}  // namespace chainmelt
