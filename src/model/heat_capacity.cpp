// Heat capacity per site of an equilibrium state of a pair variant, from the
// inverse Hessian.  With r = dg/dT at fixed state (minus the energy
// coefficients over T), the state follows the equilibrium as dp/dT = -H^-1 r,
// and the heat capacity is -T r.s with s = -H^-1 r.
#include "model/model.hpp"

namespace chainmelt {

double HeatCalc(const Model& model, int n, const Matrix& m) {
  const double T = model.T;
  const Para& pa = model.para;
  const double a = -(1 / T);
  StateVec r;
  StateVec s;
  switch (n) {
    case 2:
      r[1] = a * pa.dH;
      r[2] = a * 3 * pa.w;
      // Written out: no zero start, so that the sign of a zero result is
      // that of the two products.
      s[1] = -r[1] * m[1][1] - r[2] * m[1][2];
      s[2] = -r[1] * m[2][1] - r[2] * m[2][2];
      return -T * (r[1] * s[1] + r[2] * s[2]);
    case 4:
      r[1] = a * pa.dH;
      r[2] = a * 3 * pa.w;
      r[3] = a * 6 * pa.w3;
      r[4] = a * 3 * pa.w2;
      break;
    case 5:
      r[1] = a * pa.dH;
      r[2] = a * pa.e2;
      r[3] = a * 3 * pa.w;
      r[4] = a * 6 * pa.w3;
      r[5] = a * 3 * pa.w2;
      break;
    case 8:
      r[1] = a * pa.dH;
      r[2] = a * (pa.dH + pa.dH2);
      r[3] = a * 3 * pa.w;
      r[4] = a * 3 * pa.w;
      r[5] = 0;
      r[6] = 0;
      r[7] = 0;
      r[8] = a * 6 * pa.w;
      break;
    default:
      return 0;  // no heat capacity from the Hessian for this variant
  }
  for (int i = 1; i <= n; ++i) {
    s[i] = 0;
    for (int j = 1; j <= n; ++j) s[i] = s[i] - r[j] * m[i][j];
  }
  double sum = 0;
  for (int i = 1; i <= n; ++i) sum = r[i] * s[i] + sum;
  return -T * sum;
}

}  // namespace chainmelt
