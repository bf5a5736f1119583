// Second derivatives of the free energy: the Hessian of the pair variants in
// closed form, its scaled determinant and its inverse.
//
// The energy is linear in the state, so every element is -T times the second
// derivative of the entropy: sums of reciprocals of the state components and
// of the dependent site and pair fractions.  Each element is evaluated in the
// order its terms are written below; both halves of the matrix are written.
#include <cmath>

#include "model/model.hpp"
#include "numeric/lu.hpp"

namespace chainmelt {

namespace {

// Writes v to h[i][j] and h[j][i].
void Put(Matrix& h, int i, int j, double v) {
  h[i][j] = v;
  h[j][i] = v;
}

void Hesse2(double T, const StateVec& p, Matrix& h) {
  const double fg = p[1] - p[2];
  const double gg = 1 - 2 * p[1] + p[2];
  Put(h, 1, 1, -T * (5 / p[1] + 5 / (1 - p[1]) - 12 / gg - 6 / fg));
  Put(h, 1, 2, -T * (6 / fg + 6 / gg));
  Put(h, 2, 2, -T * (-3 / gg - 6 / fg - 3 / p[2]));
}

// Lipid and a second component at the fixed fraction conc.
void Hesse4(double T, double conc, const StateVec& p, Matrix& h) {
  const double xg = 1 - p[1] - conc;
  const double fg = p[1] - p[2] - p[3];
  const double sg = conc - p[3] - p[4];
  const double gg = 1 - 2 * p[1] - 2 * conc + p[2] + 2 * p[3] + p[4];
  Put(h, 1, 1, -T * (5 / p[1] + 5 / xg - 6 / fg - 12 / gg));
  Put(h, 1, 2, -T * (6 / gg + 6 / fg));
  Put(h, 1, 3, -T * (6 / fg + 12 / gg));
  Put(h, 1, 4, -T * (6 / gg));
  Put(h, 2, 2, -T * (-3 / gg - 6 / fg - 3 / p[2]));
  Put(h, 2, 3, -T * (-6 / gg - 6 / fg));
  Put(h, 2, 4, -T * (-3 / gg));
  Put(h, 3, 3, -T * (-12 / gg - 6 / fg - 6 / sg - 6 / p[3]));
  Put(h, 3, 4, -T * (-6 / gg - 6 / sg));
  Put(h, 4, 4, -T * (-3 / gg - 6 / sg - 3 / p[4]));
}

// Lipid and a second component whose fraction p2 is a variable.
void Hesse5(double T, const StateVec& p, Matrix& h) {
  const double xg = 1 - p[1] - p[2];
  const double fg = p[1] - p[3] - p[4];
  const double sg = p[2] - p[4] - p[5];
  const double gg = 1 - 2 * p[1] - 2 * p[2] + p[3] + 2 * p[4] + p[5];
  Put(h, 1, 1, -T * (5 / p[1] + 5 / xg - 6 / fg - 12 / gg));
  Put(h, 1, 2, -T * (5 / xg - 12 / gg));
  Put(h, 1, 3, -T * (6 / gg + 6 / fg));
  Put(h, 1, 4, -T * (6 / fg + 12 / gg));
  Put(h, 1, 5, -T * (6 / gg));
  Put(h, 2, 2, -T * (5 / p[2] + 5 / xg - 6 / sg - 12 / gg));
  Put(h, 2, 3, -T * (6 / gg));
  Put(h, 2, 4, -T * (6 / sg + 12 / gg));
  Put(h, 2, 5, -T * (6 / gg + 6 / sg));
  Put(h, 3, 3, -T * (-3 / gg - 6 / fg - 3 / p[3]));
  Put(h, 3, 4, -T * (-6 / gg - 6 / fg));
  Put(h, 3, 5, -T * (-3 / gg));
  Put(h, 4, 4, -T * (-12 / gg - 6 / fg - 6 / sg - 6 / p[4]));
  Put(h, 4, 5, -T * (-6 / gg - 6 / sg));
  Put(h, 5, 5, -T * (-3 / gg - 6 / sg - 3 / p[5]));
}

// Two lipid populations A and B; B has the fixed fraction conc2.
void Hesse8(double T, double conc2, const StateVec& p, Matrix& h) {
  const double xA = 1 - conc2 - p[1];
  const double xB = conc2 - p[2];
  const double Ga = 1 - conc2 - 2 * p[1] + p[3] + p[7] + p[8] - p[5] - p[6];
  const double Ha = p[1] - p[3] - p[7] - p[8];
  const double Gb = conc2 - 2 * p[2] + p[4] + p[6] + p[8] - p[5] - p[7];
  const double Hb = p[2] - p[4] - p[6] - p[8];
  const double al = 1 / Ga;
  const double be = 1 / Ha;
  const double ga = 1 / Gb;
  const double de = 1 / Hb;

  Put(h, 1, 1, -T * (5 / p[1] + 5 / xA - 6 * be - 12 * al));
  Put(h, 1, 2, 0.0);
  Put(h, 1, 4, 0.0);
  const double h13 = -T * (6 * al + 6 * be);
  Put(h, 1, 3, h13);
  Put(h, 1, 7, h13);
  Put(h, 1, 8, h13);
  const double h15 = -T * (-6 * al);
  Put(h, 1, 5, h15);
  Put(h, 1, 6, h15);

  Put(h, 2, 2, -T * (5 / p[2] + 5 / xB - 6 * de - 12 * ga));
  Put(h, 2, 3, 0.0);
  const double h24 = -T * (6 * ga + 6 * de);
  Put(h, 2, 4, h24);
  Put(h, 2, 6, h24);
  Put(h, 2, 8, h24);
  const double h25 = -T * (-6 * ga);
  Put(h, 2, 5, h25);
  Put(h, 2, 7, h25);

  Put(h, 3, 3, -T * (-3 / p[3] - 3 * al - 6 * be));
  Put(h, 3, 4, 0.0);
  const double h35 = -T * (3 * al);
  Put(h, 3, 5, h35);
  Put(h, 3, 6, h35);
  const double h37 = -T * (-3 * al - 6 * be);
  Put(h, 3, 7, h37);
  Put(h, 3, 8, h37);

  Put(h, 4, 4, -T * (-3 / p[4] - 3 * ga - 6 * de));
  const double h45 = -T * (3 * ga);
  Put(h, 4, 5, h45);
  Put(h, 4, 7, h45);
  const double h46 = -T * (-3 * ga - 6 * de);
  Put(h, 4, 6, h46);
  Put(h, 4, 8, h46);

  Put(h, 5, 5, -T * (-6 / p[5] - 3 * al - 3 * ga));
  Put(h, 5, 6, -T * (-3 * al + 3 * ga));
  Put(h, 5, 7, -T * (3 * al - 3 * ga));
  Put(h, 5, 8, -T * (3 * al + 3 * ga));

  Put(h, 6, 6, -T * (-6 / p[6] - 3 * al - 3 * ga - 6 * de));
  Put(h, 6, 7, -T * (3 * al + 3 * ga));
  Put(h, 6, 8, -T * (3 * al - 3 * ga - 6 * de));

  Put(h, 7, 7, -T * (-6 / p[7] - 3 * al - 6 * be - 3 * ga));
  Put(h, 7, 8, -T * (-3 * al - 6 * be + 3 * ga));

  Put(h, 8, 8, -T * (-6 / p[8] - 3 * al - 6 * be - 3 * ga - 6 * de));
}

}  // namespace

int HesseCalc(const Model& m, const StateVec& p, int n, Matrix& h) {
  // No feasibility or mode test: the caller asks at an equilibrium state, and
  // the alternative mode uses the n = 2 formulas as they stand.
  switch (n) {
    case 2: Hesse2(m.T, p, h); break;
    case 4: Hesse4(m.T, m.para.conc, p, h); break;
    case 5: Hesse5(m.T, p, h); break;
    case 8: Hesse8(m.T, m.para.conc2, p, h); break;
    default: break;  // no Hessian for this variant: h keeps what it held
  }
  return 0;
}

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
