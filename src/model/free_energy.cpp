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
  if (!Check(m, p, m.n0)) return kSentinel;
  if (IsAltMode(m.para)) {
    if (m.n0 != 2) return kSentinel;
    pieces::LigandTable t(m, p[1], true, p[2]);
    return pieces::ValueAlt(m, pieces::MakeMixing(p[1]), t, p[2]);
  }
  switch (m.n0) {
    case 1: {
      pieces::LigandTable t(m, p[1], false, 0.0);
      return pieces::Value1(m, pieces::MakeMixing(p[1]), t);
    }
    case 2:
      return pieces::Value(m, pieces::MakePair2(p));
    case 4:
      return pieces::Value(m, pieces::MakePair4(p, m.para.conc));
    case 5:
      return pieces::Value(m, pieces::MakePair5(p));
    case 8:
      return pieces::Value(m, pieces::MakePair8(p, m.para.conc2));
    default:
      return kSentinel;
  }
}

}  // namespace chainmelt
