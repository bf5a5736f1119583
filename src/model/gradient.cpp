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

  pieces::Visit(
      m, p,
      [&m, &g] {
        // Never past the capacity of a state vector, whatever n0 says.
        const int n = std::min(m.n0, kMaxVars);
        for (int i = 1; i <= n; ++i) g[i] = 0.0;
      },
      [&m, &g](const auto& s) { pieces::Gradient(m, s, g); },
      [&m, &g](const pieces::Mixing& s, pieces::LigandTable& t) { pieces::Gradient1(m, s, t, g); },
      [&m, &p, &g](const pieces::Mixing& s, pieces::LigandTable& t) {
        pieces::GradientAlt(m, s, t, p[2], g);
      });
}

}  // namespace chainmelt
