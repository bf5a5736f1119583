// Critical-point objective: the scaled Hessian determinant at the best of
// five minimised random starts at a point of the (dH, T) plane.
#include "model/model.hpp"
#include "search/search.hpp"

namespace chainmelt {

double StepDet(RunState& rs, HesseWork& work, const Vector& x, Minimum* at) {
  rs.para.dH = x[1];
  rs.T = x[2];
  const Minimum best = StepOrderGlobal(rs);
  HesseCalc(rs, best.p, rs.n0, work.hes);
  double det = 0.0;
  DetCalc(rs.n0, work.hes, work.indx, det);
  if (at != nullptr) *at = best;
  return det;
}

}  // namespace chainmelt
