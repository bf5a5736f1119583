// The scaled determinant and the inverse of a Hessian (the Hessians
// themselves are members of the variants).
#include <cmath>

#include "model/model.hpp"
#include "numeric/lu.hpp"

namespace chainmelt {

void DetCalc(int n0, Matrix& hes, IVector& indx, double& det) {
  ludcmp(hes, n0, indx, det);
  // Scaling every diagonal factor by 10^n0 keeps the product in range for
  // Hessians whose elements are of the order of T times reciprocal fractions.
  for (int i = 1; i <= n0; ++i) det = (hes[i][i] / std::pow(10.0, n0)) * det;
}

int HesseInv(Matrix& a, Matrix& ai, int n, IVector& indx) {
  Vector col(1, n);
  double d = 1.0;
  ludcmp(a, n, indx, d);
  for (int j = 1; j <= n; ++j) {
    for (int i = 1; i <= n; ++i) col[i] = 0.0;
    col[j] = 1.0;
    lubksb(a, n, indx, col);
    for (int i = 1; i <= n; ++i) ai[i][j] = col[i];
  }
  return 0;
}

}  // namespace chainmelt
