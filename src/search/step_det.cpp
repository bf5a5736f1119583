// Critical-point objective: the scaled Hessian determinant at the best of
// five minimised random starts at a point of the (dH, T) plane.
#include "model/model.hpp"
#include "search/search.hpp"

namespace chainmelt {

double StepDet(RunState& rs, const Vector& x) {
  rs.para.dH = x[1];
  rs.T = x[2];
  StepOrderGlobal(rs);
  HesseCalc(rs, rs.p0, rs.n0, rs.hes);
  DetCalc(rs.n0, rs.hes, rs.indx, rs.det);
  return rs.det;
}

}  // namespace chainmelt
