// Downhill simplex (Nelder-Mead) minimisation without derivatives.
//
// The simplex is a matrix p[1..ndim+1][1..ndim], one vertex per row, and
// y[1..ndim+1] holds the objective at each vertex.  The objective is any
// callable taking a const Vector& [1..ndim] and returning a double.
#pragma once

#include <cmath>
#include <cstdio>

#include "numeric/arrays.hpp"
#include "numeric/fatal.hpp"

namespace chainmelt {

// Largest number of charged evaluations before a move is refused.
inline constexpr int kAmoebaNmax = 5000;
// A simplex whose vertices all lie within this fraction of the best vertex's
// coordinates is treated as collapsed.
inline constexpr double kAmoebaCollapse = 1e-10;

// One trial move of vertex ihi: the point c + fac*(p[ihi] - c), c being the
// centroid of the other vertices.  Replaces vertex ihi (p, y, psum) when the
// trial is better; returns the value at the trial point.
template <class Func>
double amotry(Matrix& p, Vector& y, Vector& psum, int ndim, Func& funk, int ihi, double fac) {
  Vector ptry(1, ndim);
  const double fac1 = (1.0 - fac) / ndim;
  const double fac2 = fac1 - fac;
  for (int j = 1; j <= ndim; ++j) ptry[j] = psum[j] * fac1 - p[ihi][j] * fac2;
  const double ytry = funk(static_cast<const Vector&>(ptry));
  if (ytry < y[ihi]) {
    y[ihi] = ytry;
    for (int j = 1; j <= ndim; ++j) {
      psum[j] = psum[j] + ptry[j] - p[ihi][j];
      p[ihi][j] = ptry[j];
    }
  }
  return ytry;
}

namespace amoeba_detail {

inline void ColumnSums(const Matrix& p, int ndim, Vector& psum) {
  const int mpts = ndim + 1;
  for (int j = 1; j <= ndim; ++j) {
    double sum = 0.0;
    for (int i = 1; i <= mpts; ++i) sum += p[i][j];
    psum[j] = sum;
  }
}

// True when every vertex agrees with vertex ilo to kAmoebaCollapse relative
// to the magnitude of ilo's coordinates, coordinate by coordinate.
inline bool Collapsed(const Matrix& p, int ndim, int ilo) {
  for (int i = 1; i <= ndim + 1; ++i) {
    for (int j = 1; j <= ndim; ++j) {
      if (!(std::fabs(p[i][j] - p[ilo][j]) <= kAmoebaCollapse * std::fabs(p[ilo][j]))) return false;
    }
  }
  return true;
}

}  // namespace amoeba_detail

// Minimises funk from the simplex (p, y); y must hold the values of the rows
// of p on entry.  Stops when the highest and lowest values agree to the
// fractional tolerance ftol, or when the simplex has collapsed onto one point
// (reported on `diag`).  On return row 1 of p and y[1] are the best vertex and
// its value, *nfunk the number of evaluations charged.  Two progress lines per
// pass go to `con`; they show the first three vertices, so ndim >= 2.
// More than kAmoebaNmax charged evaluations are fatal ("NMAX exceeded").
template <class Func>
void amoeba(Matrix& p, Vector& y, int ndim, double ftol, Func&& funk, int* nfunk, std::FILE* con,
            std::FILE* diag) {
  const int mpts = ndim + 1;
  Vector psum(1, ndim);
  *nfunk = 0;
  amoeba_detail::ColumnSums(p, ndim, psum);
  for (;;) {
    std::fprintf(con, "1 amoeba det %f %f %f\n", y[1], y[2], y[3]);
    std::fprintf(con, "2 amoeba T   %f %f %f\n", p[1][2], p[2][2], p[3][2]);

    int ilo = 1;
    int ihi, inhi;
    if (y[1] > y[2]) {
      ihi = 1;
      inhi = 2;
    } else {
      ihi = 2;
      inhi = 1;
    }
    for (int i = 1; i <= mpts; ++i) {
      if (y[i] <= y[ilo]) ilo = i;
      if (y[i] > y[ihi]) {
        inhi = ihi;
        ihi = i;
      } else if (y[i] > y[inhi] && i != ihi) {
        inhi = i;
      }
    }

    const double rtol = 2.0 * std::fabs(y[ihi] - y[ilo]) / (std::fabs(y[ihi]) + std::fabs(y[ilo]));
    const bool met = rtol < ftol;
    if (met || amoeba_detail::Collapsed(p, ndim, ilo)) {
      if (!met) {
        // Values that scatter around zero on a point-sized simplex can never
        // meet a relative tolerance; stop here rather than exhaust the budget.
        std::fprintf(diag, "amoeba: simplex collapsed at (");
        for (int j = 1; j <= ndim; ++j) std::fprintf(diag, j == 1 ? "%.10g" : ", %.10g", p[ilo][j]);
        std::fprintf(diag, ") after %d evaluations without meeting the tolerance %g\n", *nfunk,
                     ftol);
      }
      const double t = y[1];
      y[1] = y[ilo];
      y[ilo] = t;
      for (int j = 1; j <= ndim; ++j) {
        const double s = p[1][j];
        p[1][j] = p[ilo][j];
        p[ilo][j] = s;
      }
      break;
    }

    if (*nfunk >= kAmoebaNmax) vornerror("NMAX exceeded");
    *nfunk += 2;

    double ytry = amotry(p, y, psum, ndim, funk, ihi, -1.0);
    if (ytry <= y[ilo]) {
      amotry(p, y, psum, ndim, funk, ihi, 2.0);
    } else if (ytry >= y[inhi]) {
      const double ysave = y[ihi];
      ytry = amotry(p, y, psum, ndim, funk, ihi, 0.5);
      if (ytry >= ysave) {
        for (int i = 1; i <= mpts; ++i) {
          if (i != ilo) {
            for (int j = 1; j <= ndim; ++j) p[i][j] = psum[j] = 0.5 * (p[i][j] + p[ilo][j]);
            y[i] = funk(static_cast<const Vector&>(psum));
          }
        }
        *nfunk += ndim;
        amoeba_detail::ColumnSums(p, ndim, psum);
      }
    } else {
      --*nfunk;
    }
  }
}

}  // namespace chainmelt
