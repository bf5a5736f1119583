// The working matrices of the Hessian routines, allocated once per run (or
// per task) so that the loops that use them allocate nothing.
#pragma once

#include "numeric/arrays.hpp"

namespace chainmelt {

struct HesseWork {
  explicit HesseWork(int n0) : hes(1, n0, 1, n0), inv(1, n0, 1, n0), indx(1, n0) {}
  Matrix hes, inv;  // [1..n0][1..n0]
  IVector indx;     // [1..n0]
};

}  // namespace chainmelt
