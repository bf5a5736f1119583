// The free energy and its gradient at one state in a single evaluation.
#pragma once

#include "model/model.hpp"

namespace chainmelt {

// Returns FreeCalc(m, p) and fills g with DerCalc(m, p), both to the last bit,
// computing every logarithm, power, exponential and factorial of the point
// only once.  Outside the feasible region: kSentinel and the zero vector.
double FreeDerCalc(const Model& m, const StateVec& p, StateVec& g);

}  // namespace chainmelt
