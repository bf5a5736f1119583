// A cheap test of a reported equilibrium state.
#pragma once

#include <string>

#include "model/params.hpp"
#include "numeric/arrays.hpp"

namespace chainmelt {

// Empty when the state p with free energy f looks like the equilibrium
// state; otherwise why not: the gradient there is not zero (a state the
// minimiser left before it reached a minimum), or the free energy of an
// almost pure gel or fluid state (pair variables at random mixing) is
// lower.  Not made in the ligand-activity mode, whose minimisation vector is
// not the gradient of its free energy.
std::string CheckEquilibrium(const Model& m, const StateVec& p, double f);

}  // namespace chainmelt
