// The equilibrium search: the lowest minimum of the free energy at the
// current point, found deterministically at any energy scale.
#pragma once

#include "model/run_state.hpp"

namespace chainmelt {

// Minimises the free energy from a fixed grid of starts that covers the whole
// feasible range of the fluid fraction(s), pair variables at random mixing,
// and keeps the lowest minimum.  Draws nothing from the generator.  Leaves
// the state in p0/fret0/iter (iter of the run that found it), the number of
// distinct minima in rs.minima, the family of the state in rs.branch (with
// two distinct minima: 0 for the one of lower total fluid fraction, 1 for
// the other; with one: by which half of the fluid range it lies in) and the
// equilibrium energy per site U = F + T*S in rs.U.
void StepOrderEquilibrium(RunState& rs);

// U = F + T*S of the state p: the energy part of the free energy (for the
// ligand variants F - T dF/dT at fixed state, by a central difference).
double EnergyAt(const Model& m, const StateVec& p, double F);

}  // namespace chainmelt
