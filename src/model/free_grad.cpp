// Value and gradient together: one feasibility test, one set of pieces.
#include "model/free_grad.hpp"

#include <algorithm>

#include "model/pieces.hpp"

namespace chainmelt {

namespace {

template <class Pieces>
double Both(const Model& m, const Pieces& s, StateVec& g) {
  pieces::Gradient(m, s, g);
  return pieces::Value(m, s);
}

}  // namespace

double FreeDerCalc(const Model& m, const StateVec& p, StateVec& g) {
  [[maybe_unused]] const double beta = 1.0 / m.T;

  if (!Check(m, p, m.n0)) {
    const int n = std::min(m.n0, kMaxVars);
    for (int i = 1; i <= n; ++i) g[i] = 0.0;
    return kSentinel;
  }
  if (IsAltMode(m.para)) {
    // Check passed, so n0 is 2 here.
    const pieces::Mixing s = pieces::MakeMixing(p[1]);
    pieces::LigandTable t(m, p[1], true, p[2]);
    const double F = pieces::ValueAlt(m, s, t, p[2]);
    pieces::GradientAlt(m, s, t, p[2], g);
    return F;
  }
  switch (m.n0) {
    case 1: {
      const pieces::Mixing s = pieces::MakeMixing(p[1]);
      pieces::LigandTable t(m, p[1], false, 0.0);
      const double F = pieces::Value1(m, s, t);
      pieces::Gradient1(m, s, t, g);
      return F;
    }
    case 2:
      return Both(m, pieces::MakePair2(p), g);
    case 4:
      return Both(m, pieces::MakePair4(p, m.para.conc), g);
    case 5:
      return Both(m, pieces::MakePair5(p), g);
    case 8:
      return Both(m, pieces::MakePair8(p, m.para.conc2), g);
    default:
      return kSentinel;
  }
}

}  // namespace chainmelt
