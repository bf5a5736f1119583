// Value and gradient together: one feasibility test, one set of pieces.
#include "model/free_grad.hpp"

#include <algorithm>

#include "model/pieces.hpp"

namespace chainmelt {

double FreeDerCalc(const Model& m, const StateVec& p, StateVec& g) {
  [[maybe_unused]] const double beta = 1.0 / m.T;

  return pieces::Visit(
      m, p,
      [&m, &g] {
        const int n = std::min(m.n0, kMaxVars);
        for (int i = 1; i <= n; ++i) g[i] = 0.0;
        return kSentinel;
      },
      [&m, &g](const auto& s) {
        pieces::Gradient(m, s, g);
        return pieces::Value(m, s);
      },
      [&m, &g](const pieces::Mixing& s, pieces::LigandTable& t) {
        const double F = pieces::Value1(m, s, t);
        pieces::Gradient1(m, s, t, g);
        return F;
      },
      [&m, &p, &g](const pieces::Mixing& s, pieces::LigandTable& t) {
        const double F = pieces::ValueAlt(m, s, t, p[2]);
        pieces::GradientAlt(m, s, t, p[2], g);
        return F;
      });
}

}  // namespace chainmelt
