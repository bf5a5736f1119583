// LU decomposition with implicit partial pivoting, and back substitution.
#pragma once

#include "numeric/arrays.hpp"

namespace chainmelt {

// Factors a[1..n][1..n] in place; indx receives the row exchanges, d the parity.
void ludcmp(Matrix& a, int n, IVector& indx, double& d);
// Solves A x = b with the factors of ludcmp; b is replaced by x.
void lubksb(const Matrix& a, int n, const IVector& indx, Vector& b);

}  // namespace chainmelt
