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

// One trial move of vertex worst: the point c + factor*(p[worst] - c), c being the
// centroid of the other vertices.  Replaces vertex worst (p, y, colsum) when the
// trial is better; returns the value at the trial point.
template <class Func>
double amotry(Matrix& p, Vector& y, Vector& colsum, int ndim, Func& func, int worst, double factor) {
  Vector trial(1, ndim);
  const double k1 = (1.0 - factor) / ndim;
  const double k2 = k1 - factor;
  for (int j = 1; j <= ndim; ++j) trial[j] = colsum[j] * k1 - p[worst][j] * k2;
  const double ytrial = func(static_cast<const Vector&>(trial));
  if (ytrial < y[worst]) {
    y[worst] = ytrial;
    for (int j = 1; j <= ndim; ++j) {
      colsum[j] = colsum[j] + trial[j] - p[worst][j];
      p[worst][j] = trial[j];
    }
  }
  return ytrial;
}

namespace amoeba_detail {

inline void ColumnSums(const Matrix& p, int ndim, Vector& colsum) {
  const int m = ndim + 1;
  for (int j = 1; j <= ndim; ++j) {
    double sum = 0.0;
    for (int i = 1; i <= m; ++i) sum += p[i][j];
    colsum[j] = sum;
  }
}

// True when every vertex agrees with vertex best to kAmoebaCollapse relative
// to the magnitude of best's coordinates, coordinate by coordinate.
inline bool Collapsed(const Matrix& p, int ndim, int best) {
  for (int i = 1; i <= ndim + 1; ++i) {
    for (int j = 1; j <= ndim; ++j) {
      if (!(std::fabs(p[i][j] - p[best][j]) <= kAmoebaCollapse * std::fabs(p[best][j]))) return false;
    }
  }
  return true;
}

}  // namespace amoeba_detail

// Minimises func from the simplex (p, y); y must hold the values of the rows
// of p on entry.  Stops when the highest and lowest values agree to the
// fractional tolerance tolerance, or when the simplex has collapsed onto one point
// (reported through log.Diagnostic).  On return row 1 of p and y[1] are the
// best vertex and its value, *count the number of evaluations charged.  Two
// progress lines per pass go to log.Progress (printf-style, one line each);
// they show the first three vertices, so ndim >= 2.
// More than kAmoebaNmax charged evaluations are fatal ("NMAX exceeded").
template <class Func, class Log>
void amoeba(Matrix& p, Vector& y, int ndim, double tolerance, Func&& func, int* count, Log& log) {
  const int m = ndim + 1;
  Vector colsum(1, ndim);
  *count = 0;
  amoeba_detail::ColumnSums(p, ndim, colsum);
  for (;;) {
    log.Progress("1 amoeba det %f %f %f", y[1], y[2], y[3]);
    log.Progress("2 amoeba T   %f %f %f", p[1][2], p[2][2], p[3][2]);

    int best = 1;
    int worst, next;
    if (y[1] > y[2]) {
      worst = 1;
      next = 2;
    } else {
      worst = 2;
      next = 1;
    }
    for (int i = 1; i <= m; ++i) {
      if (y[i] <= y[best]) best = i;
      if (y[i] > y[worst]) {
        next = worst;
        worst = i;
      } else if (y[i] > y[next] && i != worst) {
        next = i;
      }
    }

    const double spread = 2.0 * std::fabs(y[worst] - y[best]) / (std::fabs(y[worst]) + std::fabs(y[best]));
    const bool met = spread < tolerance;
    if (met || amoeba_detail::Collapsed(p, ndim, best)) {
      if (!met) {
        // Values that scatter around zero on a point-sized simplex can never
        // meet a relative tolerance; stop here rather than exhaust the budget.
        char at[256] = "";
        int used = 0;
        for (int j = 1; j <= ndim && used >= 0 && used < static_cast<int>(sizeof at); ++j) {
          used += std::snprintf(at + used, sizeof at - static_cast<std::size_t>(used),
                                j == 1 ? "%.10g" : ", %.10g", p[best][j]);
        }
        log.Diagnostic("amoeba: simplex collapsed at (%s) after %d evaluations without meeting "
                       "the tolerance %g",
                       at, *count, tolerance);
      }
      const double t = y[1];
      y[1] = y[best];
      y[best] = t;
      for (int j = 1; j <= ndim; ++j) {
        const double s = p[1][j];
        p[1][j] = p[best][j];
        p[best][j] = s;
      }
      break;
    }

    if (*count >= kAmoebaNmax) vornerror("NMAX exceeded");
    *count += 2;

    double ytrial = amotry(p, y, colsum, ndim, func, worst, -1.0);
    if (ytrial <= y[best]) {
      amotry(p, y, colsum, ndim, func, worst, 2.0);
    } else if (ytrial >= y[next]) {
      const double yprev = y[worst];
      ytrial = amotry(p, y, colsum, ndim, func, worst, 0.5);
      if (ytrial >= yprev) {
        for (int i = 1; i <= m; ++i) {
          if (i != best) {
            for (int j = 1; j <= ndim; ++j) p[i][j] = colsum[j] = 0.5 * (p[i][j] + p[best][j]);
            y[i] = func(static_cast<const Vector&>(colsum));
          }
        }
        *count += ndim;
        amoeba_detail::ColumnSums(p, ndim, colsum);
      }
    } else {
      --*count;
    }
  }
}

}  // namespace chainmelt
