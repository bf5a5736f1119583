// Free energy per lattice site, F = U - T*S.
//
// The pair variants (n0 = 2, 4, 5, 8) use the quasi-chemical entropy of a
// lattice with six neighbours: site fractions with the factor 5, pair
// probabilities with the factor 3.  The mean-field variant (n0 = 1) and the
// ligand-activity mode use the ideal mixing entropy plus the ligand term.
// Every formula is evaluated term by term in the order it is written
// (model/pieces.hpp); sums run from their first term upward.  Nothing is
// allocated.
#include <cmath>

#include "model/model.hpp"
#include "model/pieces.hpp"

namespace chainmelt {

double fak(double x) {
  if (x == 0.0) return 1.0;
  double result = 1.0;
  double a = 1.0;
  // Beyond 170! the product is inf and stays inf; stopping there keeps a huge
  // or infinite argument from running the loop (almost) forever.
  while (a <= x && !std::isinf(result)) {
    result = result * a;
    a = a + 1.0;
  }
  return result;
}

double FreeCalc(const Model& m, const StateVec& p) {
  return pieces::Visit(
      m, p, [] { return kSentinel; },
      [&m](const auto& s) { return pieces::Value(m, s); },
      [&m](const pieces::Mixing& s, pieces::LigandTable& t) { return pieces::Value1(m, s, t); },
      [&m, &p](const pieces::Mixing& s, pieces::LigandTable& t) {
        return pieces::ValueAlt(m, s, t, p[2]);
      });
}

}  // namespace chainmelt
