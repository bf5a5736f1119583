// One-dimensional minimisers: bracketing a minimum (mnbrak) and narrowing
// the bracket with values and derivatives (dbrent), templates over a
// one-dimensional function double(double).  Nothing here allocates.
//
// An objective may return +infinity outside its domain (a wall): a bracket
// then closes at the wall, a parabolic step that comes out as not a number
// falls back to the default step, and dbrent narrows its interval on the
// comparisons alone, so every routine ends normally.  Values that are not
// numbers end the bracketing walk.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

#include "numeric/arrays.hpp"
#include "numeric/fatal.hpp"

namespace chainmelt {

namespace minimize_detail {

// |a| with the sign of b (b >= 0 counts as positive).
inline double Sign(double a, double b) { return b >= 0.0 ? std::fabs(a) : -std::fabs(a); }
// The larger of a and b; b when the comparison fails (a not a number).
inline double Max(double a, double b) { return a > b ? a : b; }

inline constexpr double kGoldenStep = 1.618034;    // default step growth of mnbrak
inline constexpr double kGrowLimit = 100.0;  // farthest parabolic step, in steps
inline constexpr double kTiny = 1e-20;       // floor of the parabola's denominator
inline constexpr int kBrentIterations = 100;
inline constexpr double kAbsFloor = 1e-10;       // absolute tolerance floor of dbrent
inline constexpr double kLineTol = 2e-4;     // relative tolerance of a line search
inline constexpr int kCgIterations = 10000;  // line minimisations of frprmn
inline constexpr double kCgEps = 1e-10;      // absolute floor of frprmn's test

}  // namespace minimize_detail

// Walks downhill from a, b until c closes a bracket: b lies between a
// and c, fb <= fa and fb <= fc.  a and c may come out in either order.
// With fa_known, fa already holds func(a) on entry and is not evaluated
// again.
template <class F>
void mnbrak(double& a, double& b, double& c, double& fa, double& fb, double& fc, F&& func,
            bool fa_known = false) {
  using namespace minimize_detail;
  if (!fa_known) fa = func(a);
  fb = func(b);
  if (fb > fa) {
    std::swap(a, b);
    std::swap(fa, fb);
  }
  c = b + kGoldenStep * (b - a);
  fc = func(c);
  while (fb > fc) {
    const double r = (b - a) * (fb - fc);
    const double q = (b - c) * (fb - fa);
    double u = b - ((b - c) * q - (b - a) * r) / (2.0 * Sign(Max(std::fabs(q - r), kTiny), q - r));
    const double lim = b + kGrowLimit * (c - b);
    double fu;
    if ((b - u) * (u - c) > 0.0) {
      fu = func(u);
      if (fu < fc) {
        a = b;
        b = u;
        fa = fb;
        fb = fu;
        return;
      } else if (fu > fb) {
        c = u;
        fc = fu;
        return;
      }
      u = c + kGoldenStep * (c - b);
      fu = func(u);
    } else if ((c - u) * (u - lim) > 0.0) {
      fu = func(u);
      if (fu < fc) {
        b = c;
        c = u;
        u = c + kGoldenStep * (c - b);
        fb = fc;
        fc = fu;
        fu = func(u);
      }
    } else if ((u - lim) * (lim - c) >= 0.0) {
      u = lim;
      fu = func(u);
    } else {
      u = c + kGoldenStep * (c - b);
      fu = func(u);
    }
    a = b;
    b = c;
    c = u;
    fa = fb;
    fb = fc;
    fc = fu;
  }
}

// Narrows the bracket (a, b, c) of mnbrak to the minimum, using values and
// derivatives.  fdf(u, du) returns the value at u and stores the derivative
// there in du.  Stores the abscissa in xmin and returns the value there.
// accept() is called whenever the point of the latest fdf call becomes x, the
// lowest point so far (so the caller can keep what it computed there).
template <class FDF, class Accept>
double dbrent_fdf(double a, double b, double c, FDF&& fdf, Accept&& accept, double tol,
                  double& xmin) {
  using namespace minimize_detail;
  double lo = a < c ? a : c;
  double hi = a > c ? a : c;
  double d = 0.0, e = 0.0;
  double x = b, w = b, v = b;
  double dx = 0.0;
  double fx = fdf(x, dx);
  accept();
  double fw = fx, fv = fx;
  double dw = dx, dv = dx;
  for (int it = 1; it <= kBrentIterations; ++it) {
    const double mid = (lo + hi) / 2.0;
    const double tx = tol * std::fabs(x) + kAbsFloor;
    if (std::fabs(x - mid) <= 2.0 * tx - (hi - lo) / 2.0) {
      xmin = x;
      return fx;
    }
    bool bisect = true;
    if (std::fabs(e) > tx) {
      double s1 = 2.0 * (hi - lo);
      double s2 = s1;
      if (dw != dx) s1 = (w - x) * dx / (dx - dw);
      if (dv != dx) s2 = (v - x) * dx / (dx - dv);
      const double u1 = x + s1;
      const double u2 = x + s2;
      const bool ok1 = (lo - u1) * (u1 - hi) > 0.0 && dx * s1 <= 0.0;
      const bool ok2 = (lo - u2) * (u2 - hi) > 0.0 && dx * s2 <= 0.0;
      const double old = e;
      e = d;
      if (ok1 || ok2) {
        if (ok1 && ok2)
          d = std::fabs(s1) < std::fabs(s2) ? s1 : s2;
        else if (ok1)
          d = s1;
        else
          d = s2;
        if (std::fabs(d) <= std::fabs(old / 2.0)) {
          const double u = x + d;
          if (u - lo < 2.0 * tx || hi - u < 2.0 * tx) d = Sign(tx, mid - x);
          bisect = false;
        }
      }
    }
    if (bisect) {
      e = dx >= 0.0 ? lo - x : hi - x;
      d = e / 2.0;
    }
    // The derivative at u comes with its value; after the smallest step it
    // is not needed when u turns out higher than x.
    double u, fu, du = 0.0;
    if (std::fabs(d) >= tx) {
      u = x + d;
      fu = fdf(u, du);
    } else {
      u = x + Sign(tx, d);
      fu = fdf(u, du);
      if (fu > fx) {
        xmin = x;
        return fx;
      }
    }
    if (fu <= fx) {
      if (u >= x)
        lo = x;
      else
        hi = x;
      v = w, fv = fw, dv = dw;
      w = x, fw = fx, dw = dx;
      x = u, fx = fu, dx = du;
      accept();
    } else {
      if (u < x)
        lo = u;
      else
        hi = u;
      if (fu <= fw || w == x) {
        v = w, fv = fw, dv = dw;
        w = u, fw = fu, dw = du;
      } else if (fu < fv || v == x || v == w) {
        v = u, fv = fu, dv = du;
      }
    }
  }
  vornerror("Too many iterations in routine dbrent");
}

// The same with the value f(u) and the derivative df(u) from two functions,
// called in that order.
template <class F, class DF>
double dbrent(double a, double b, double c, F&& f, DF&& df, double tol, double& xmin) {
  auto fdf = [&f, &df](double u, double& du) {
    const double fu = f(u);
    du = df(u);
    return fu;
  };
  return dbrent_fdf(a, b, c, fdf, [] {}, tol, xmin);
}

}  // namespace chainmelt
