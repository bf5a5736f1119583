// Minimisers: bracketing and one-dimensional minimisation with derivatives
// (mnbrak, dbrent), line minimisation along a direction (dlinmin) and
// Polak-Ribiere conjugate gradients (frprmn).
//
// All routines are templates over their callables:
//   one-dimensional function   double(double)
//   objective                  double(const StateVec&)
//   gradient                   void(const StateVec& p, StateVec& g), fills g[1..n]
// Nothing here allocates on the heap; vectors are StateVec (n <= kMaxVars).
//
// An objective may return +infinity outside its domain (a wall): a bracket
// then closes at the wall, a parabolic step that comes out as not a number
// falls back to the default step, and dbrent narrows its interval on the
// comparisons alone, so every routine ends normally.  Values that are not
// numbers end the bracketing walk.
#pragma once

#include <cmath>
#include <utility>

#include "numeric/arrays.hpp"
#include "numeric/fatal.hpp"

namespace chainmelt {

namespace minimize_detail {

// |a| with the sign of b (b >= 0 counts as positive).
inline double Sign(double a, double b) { return b >= 0.0 ? std::fabs(a) : -std::fabs(a); }
// The larger of a and b; b when the comparison fails (a not a number).
inline double Max(double a, double b) { return a > b ? a : b; }

inline constexpr double kGold = 1.618034;    // default step growth of mnbrak
inline constexpr double kGrowLimit = 100.0;  // farthest parabolic step, in steps
inline constexpr double kTiny = 1e-20;       // floor of the parabola's denominator
inline constexpr int kBrentIterations = 100;
inline constexpr double kZeps = 1e-10;       // absolute tolerance floor of dbrent
inline constexpr double kLineTol = 2e-4;     // relative tolerance of a line search
inline constexpr int kCgIterations = 10000;  // line minimisations of frprmn
inline constexpr double kCgEps = 1e-10;      // absolute floor of frprmn's test

}  // namespace minimize_detail

// Walks downhill from ax, bx until cx closes a bracket: bx lies between ax
// and cx, fb <= fa and fb <= fc.  ax and cx may come out in either order.
template <class F>
void mnbrak(double& ax, double& bx, double& cx, double& fa, double& fb, double& fc, F&& func) {
  using namespace minimize_detail;
  fa = func(ax);
  fb = func(bx);
  if (fb > fa) {
    std::swap(ax, bx);
    std::swap(fa, fb);
  }
  cx = bx + kGold * (bx - ax);
  fc = func(cx);
  while (fb > fc) {
    const double r = (bx - ax) * (fb - fc);
    const double q = (bx - cx) * (fb - fa);
    double u = bx - ((bx - cx) * q - (bx - ax) * r) / (2.0 * Sign(Max(std::fabs(q - r), kTiny), q - r));
    const double ulim = bx + kGrowLimit * (cx - bx);
    double fu;
    if ((bx - u) * (u - cx) > 0.0) {
      fu = func(u);
      if (fu < fc) {
        ax = bx;
        bx = u;
        fa = fb;
        fb = fu;
        return;
      } else if (fu > fb) {
        cx = u;
        fc = fu;
        return;
      }
      u = cx + kGold * (cx - bx);
      fu = func(u);
    } else if ((cx - u) * (u - ulim) > 0.0) {
      fu = func(u);
      if (fu < fc) {
        bx = cx;
        cx = u;
        u = cx + kGold * (cx - bx);
        fb = fc;
        fc = fu;
        fu = func(u);
      }
    } else if ((u - ulim) * (ulim - cx) >= 0.0) {
      u = ulim;
      fu = func(u);
    } else {
      u = cx + kGold * (cx - bx);
      fu = func(u);
    }
    ax = bx;
    bx = cx;
    cx = u;
    fa = fb;
    fb = fc;
    fc = fu;
  }
}

// Narrows the bracket (ax, bx, cx) of mnbrak to the minimum, using values and
// derivatives.  Stores the abscissa in xmin and returns the value there.
template <class F, class DF>
double dbrent(double ax, double bx, double cx, F&& f, DF&& df, double tol, double& xmin) {
  using namespace minimize_detail;
  double lo = ax < cx ? ax : cx;
  double hi = ax > cx ? ax : cx;
  double d = 0.0, e = 0.0;
  double x = bx, w = bx, v = bx;
  double fx = f(x);
  double fw = fx, fv = fx;
  double dx = df(x);
  double dw = dx, dv = dx;
  for (int it = 1; it <= kBrentIterations; ++it) {
    const double mid = (lo + hi) / 2.0;
    const double tx = tol * std::fabs(x) + kZeps;
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
    double u, fu;
    if (std::fabs(d) >= tx) {
      u = x + d;
      fu = f(u);
    } else {
      u = x + Sign(tx, d);
      fu = f(u);
      if (fu > fx) {
        xmin = x;
        return fx;
      }
    }
    const double du = df(u);
    if (fu <= fx) {
      if (u >= x)
        lo = x;
      else
        hi = x;
      v = w, fv = fw, dv = dw;
      w = x, fw = fx, dw = dx;
      x = u, fx = fu, dx = du;
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

// The objective restricted to the line pcom + t * xicom, and its derivative
// along the line.  Holds copies of the base point and direction.
template <class Func, class DFunc>
class LineRestriction {
 public:
  LineRestriction(const StateVec& p, const StateVec& xi, int n, Func& func, DFunc& dfunc)
      : ncom_(n), pcom_(p), xicom_(xi), func_(func), dfunc_(dfunc) {}

  double f1dim(double t) const {
    StateVec pt;
    for (int j = 1; j <= ncom_; ++j) pt[j] = pcom_[j] + t * xicom_[j];
    return func_(pt);
  }

  double df1dim(double t) const {
    StateVec pt, gr;
    for (int j = 1; j <= ncom_; ++j) pt[j] = pcom_[j] + t * xicom_[j];
    dfunc_(pt, gr);
    double s = 0.0;
    for (int j = 1; j <= ncom_; ++j) s += gr[j] * xicom_[j];
    return s;
  }

 private:
  int ncom_;
  StateVec pcom_, xicom_;
  Func& func_;
  DFunc& dfunc_;
};

// Minimises along xi from p.  On return p is the minimum along the line, xi
// the displacement taken and fret the objective at the new p.
template <class Func, class DFunc>
void dlinmin(StateVec& p, StateVec& xi, int n, double& fret, Func& func, DFunc& dfunc) {
  using namespace minimize_detail;
  const LineRestriction<Func, DFunc> line(p, xi, n, func, dfunc);
  auto f1dim = [&line](double t) { return line.f1dim(t); };
  auto df1dim = [&line](double t) { return line.df1dim(t); };
  double ax = 0.0, xx = 1.0, bx = 0.0, fa = 0.0, fx = 0.0, fb = 0.0;
  mnbrak(ax, xx, bx, fa, fx, fb, f1dim);
  double xmin = 0.0;
  fret = dbrent(ax, xx, bx, f1dim, df1dim, kLineTol, xmin);
  for (int j = 1; j <= n; ++j) {
    xi[j] = xmin * xi[j];
    p[j] = p[j] + xi[j];
  }
}

// Polak-Ribiere conjugate gradients from p.  On return p is the minimum
// found, fret the objective there (from the last line minimisation) and iter
// the number of line minimisations made.
template <class Func, class DFunc>
void frprmn(StateVec& p, int n, double ftol, int& iter, double& fret, Func&& func, DFunc&& dfunc) {
  using namespace minimize_detail;
  StateVec ng, dir, xi;  // minus the previous gradient, previous direction, current one
  double fprev = func(p);
  dfunc(p, xi);
  for (int j = 1; j <= n; ++j) {
    ng[j] = -xi[j];
    dir[j] = ng[j];
    xi[j] = ng[j];
  }
  for (int k = 1; k <= kCgIterations; ++k) {
    iter = k;
    dlinmin(p, xi, n, fret, func, dfunc);
    if (2.0 * std::fabs(fret - fprev) <= ftol * (std::fabs(fret) + std::fabs(fprev) + kCgEps)) return;
    fprev = func(p);
    dfunc(p, xi);
    double den = 0.0, num = 0.0;
    for (int j = 1; j <= n; ++j) {
      den += ng[j] * ng[j];
      num += (xi[j] + ng[j]) * xi[j];
    }
    if (den == 0.0) return;
    const double beta = num / den;
    for (int j = 1; j <= n; ++j) {
      ng[j] = -xi[j];
      dir[j] = ng[j] + beta * dir[j];
      xi[j] = dir[j];
    }
  }
  vornerror("Too many iterations in frprmn");
}

}  // namespace chainmelt
