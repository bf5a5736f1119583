// Gradient of the free energy per site.
//
// Every component is written g_i = a_i - T*b_i: a_i from the energy (the
// fluid term dH - T*dS per chain included), b_i the derivative of the entropy
// (model/pieces.hpp).  Outside the feasible region the gradient is the zero
// vector, so no logarithm of a non-positive number is ever taken.  Nothing is
// allocated.
#include <algorithm>

#include "model/model.hpp"
#include "model/pieces.hpp"

namespace chainmelt {

void DerCalc(const Model& m, const StateVec& p, StateVec& g) {
  // The reciprocal temperature is formed before anything else; T = 0 only
  // makes it inf, and no branch below depends on it.
  [[maybe_unused]] const double beta = 1.0 / m.T;

  if (!Check(m, p, m.n0)) {
    // Never past the capacity of a state vector, whatever n0 says.
    const int n = std::min(m.n0, kMaxVars);
    for (int i = 1; i <= n; ++i) g[i] = 0.0;
    return;
  }
  if (IsAltMode(m.para)) {
    // Check passed, so n0 is 2 here.
    pieces::LigandTable t(m, p[1], true, p[2]);
    pieces::GradientAlt(m, pieces::MakeMixing(p[1]), t, p[2], g);
    return;
  }
  switch (m.n0) {
    case 1: {
      pieces::LigandTable t(m, p[1], false, 0.0);
      pieces::Gradient1(m, pieces::MakeMixing(p[1]), t, g);
      break;
    }
    case 2:
      pieces::Gradient(m, pieces::MakePair2(p), g);
      break;
    case 4:
      pieces::Gradient(m, pieces::MakePair4(p, m.para.conc), g);
      break;
    case 5:
      pieces::Gradient(m, pieces::MakePair5(p), g);
      break;
    case 8:
      pieces::Gradient(m, pieces::MakePair8(p, m.para.conc2), g);
      break;
    default:
      break;
  }
}

}  // namespace chainmelt
