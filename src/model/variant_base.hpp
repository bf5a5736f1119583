// Small pieces the variants share.
#pragma once

#include "numeric/arrays.hpp"

namespace chainmelt {

// The random starts of the classic searches: the box start, and the phase
// starts of the gel-rich and the fluid-rich family.
enum class StartKind { kBox, kGelRich, kFluidRich };

}  // namespace chainmelt

namespace chainmelt::variant {

// Writes v to h[i][j] and h[j][i] (the Hessians are symmetric).
inline void Put(Matrix& h, int i, int j, double v) {
  h[i][j] = v;
  h[j][i] = v;
}

// Middle of stratum k of n over (0, top): the grids of the equilibrium search.
inline double Stratum(int k, int n, double top) { return top * ((k - 0.5) / n); }

// Starts of the equilibrium grid along one fluid fraction.
inline constexpr int kLine = 9;

}  // namespace chainmelt::variant

namespace chainmelt::variant {

// Heat capacity per site -T r.s with s = -H^-1 r, r = dg/dT at the fixed
// state (r[1..n], minus the energy coefficients over T), from the inverse
// Hessian m.
inline double HeatFrom(double T, const StateVec& r, int n, const Matrix& m) {
  StateVec s;
  for (int i = 1; i <= n; ++i) {
    s[i] = 0;
    for (int j = 1; j <= n; ++j) s[i] = s[i] - r[j] * m[i][j];
  }
  double sum = 0;
  for (int i = 1; i <= n; ++i) sum = r[i] * s[i] + sum;
  return -T * sum;
}

}  // namespace chainmelt::variant
