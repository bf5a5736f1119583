// Minimisers: bracketing and one-dimensional minimisation with derivatives
// (mnbrak, dbrent), line minimisation along a direction (dlinmin) and
// Polak-Ribiere conjugate gradients (frprmn).
//
// All routines are templates over their callables:
//   one-dimensional function   double(double)
//   objective                  double(const StateVec&)
//   gradient                   void(const StateVec& p, StateVec& g), fills g[1..n]
// or over an objective type offering the value, the gradient and both
// together (see SeparateObjective below).  Nothing here allocates on the
// heap; vectors are StateVec (n <= kMaxVars).
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

// Objectives of the minimisers offer
//   double Evaluate(const StateVec& p)                          the value at p,
//   void Gradient(const StateVec& p, StateVec& g)               fills g[1..n],
//   double EvaluateWithGradient(const StateVec& p, StateVec& g) both,
// where the last gives exactly what the first two give, only cheaper.  The
// line search asks for both together wherever it needs both at one point.
// An objective whose results depend on nothing but the bits of p may say so
// with a member `static constexpr bool kDeterministic = true`; the
// minimisers then take a value or gradient they already have at exactly the
// same point instead of asking for it again.

template <class Objective, class = void>
struct IsDeterministic : std::false_type {};
template <class Objective>
struct IsDeterministic<Objective, std::void_t<decltype(Objective::kDeterministic)>>
    : std::bool_constant<Objective::kDeterministic> {};

// An objective made of a value function double(const StateVec&) and a
// gradient function void(const StateVec&, StateVec&), called in that order.
template <class Func, class DFunc>
class SeparateObjective {
 public:
  SeparateObjective(Func& func, DFunc& dfunc) : func_(func), dfunc_(dfunc) {}
  double Evaluate(const StateVec& p) { return func_(p); }
  void Gradient(const StateVec& p, StateVec& g) { dfunc_(p, g); }
  double EvaluateWithGradient(const StateVec& p, StateVec& g) {
    const double v = func_(p);
    dfunc_(p, g);
    return v;
  }

 private:
  Func& func_;
  DFunc& dfunc_;
};

namespace minimize_detail {

// The number of variables: N when it is fixed at compile time (1..kMaxVars,
// so that the loops over the components unroll), otherwise n.
template <int N>
inline int Vars(int n) {
  return N > 0 ? N : n;
}

// True when p and q agree bit for bit in [1..n].
inline bool SamePoint(const StateVec& p, const StateVec& q, int n) {
  return std::memcmp(&p[1], &q[1], static_cast<std::size_t>(n) * sizeof(double)) == 0;
}

}  // namespace minimize_detail

// The objective restricted to the line pcom + t * xicom: its value, and its
// value with the derivative along the line (the gradient dotted with xicom).
// It keeps the point, value and gradient of the latest combined evaluation
// and of the one the line search accepted last.  When the value and gradient
// at the start of the line (t = 0) are known, they are handed out for t = 0.
template <class Objective, int N = 0>
class LineRestriction {
 public:
  struct Kept {
    StateVec point, gradient;
    double value = 0.0;
  };

  LineRestriction(const StateVec& p, const StateVec& xi, int n, Objective& obj)
      : ncom_(minimize_detail::Vars<N>(n)), pcom_(p), xicom_(xi), obj_(obj) {}

  double f1dim(double t) {
    Point(t, pt_);
    return obj_.Evaluate(pt_);
  }

  double df1dim(double t) {
    Point(t, pt_);
    obj_.Gradient(pt_, gr_);
    return Slope(gr_);
  }

  double fdf1dim(double t, double& slope) {
    if (origin_known_ && t == 0.0 && !std::signbit(t)) {
      Copy(origin_, last_);
    } else {
      Point(t, last_.point);
      last_.value = obj_.EvaluateWithGradient(last_.point, last_.gradient);
    }
    slope = Slope(last_.gradient);
    return last_.value;
  }

  // The point at t = 0, formed like every other point of the line.
  void Origin(StateVec& pt) const { Point(0.0, pt); }
  // The objective at the point at t = 0 and its gradient there.
  void KnowOrigin(const StateVec& pt, double value, const StateVec& gradient) {
    for (int j = 1; j <= Count(); ++j) {
      origin_.point[j] = pt[j];
      origin_.gradient[j] = gradient[j];
    }
    origin_.value = value;
    origin_known_ = true;
  }

  // The latest combined evaluation becomes the accepted one.
  void Accept() { Copy(last_, accepted_); }
  const Kept& accepted() const { return accepted_; }

 private:
  void Point(double t, StateVec& pt) const {
    for (int j = 1; j <= Count(); ++j) pt[j] = pcom_[j] + t * xicom_[j];
  }
  double Slope(const StateVec& gr) const {
    double s = 0.0;
    for (int j = 1; j <= Count(); ++j) s += gr[j] * xicom_[j];
    return s;
  }
  void Copy(const Kept& from, Kept& to) const {
    for (int j = 1; j <= Count(); ++j) {
      to.point[j] = from.point[j];
      to.gradient[j] = from.gradient[j];
    }
    to.value = from.value;
  }

  int Count() const { return N > 0 ? N : ncom_; }

  int ncom_;
  StateVec pcom_, xicom_;
  Objective& obj_;
  StateVec pt_, gr_;
  Kept last_, accepted_, origin_;
  bool origin_known_ = false;
};

// Minimises along xi from p.  On return p is the minimum along the line, xi
// the displacement taken and fret the objective at the new p.
//
// For a deterministic objective: fp and gp, when given, are the objective at
// p and its gradient there, taken for the start of the line when that point
// is p to the last bit; and when the objective at the new p and its gradient
// there are at hand, they are copied to *f_new and *g_new and the result is
// true.
template <class Objective, int N = 0>
bool dlinmin(StateVec& p, StateVec& xi, int n, double& fret, Objective& obj,
             const double* fp = nullptr, const StateVec* gp = nullptr, double* f_new = nullptr,
             StateVec* g_new = nullptr) {
  using namespace minimize_detail;
  constexpr bool reuse = IsDeterministic<Objective>::value;
  n = Vars<N>(n);
  LineRestriction<Objective, N> line(p, xi, n, obj);
  auto f1dim = [&line](double t) { return line.f1dim(t); };
  auto fdf1dim = [&line](double t, double& slope) { return line.fdf1dim(t, slope); };
  auto accept = [&line] {
    if (reuse) line.Accept();
  };
  double a = 0.0, b = 1.0, c = 0.0, fa = 0.0, fb = 0.0, fc = 0.0;
  bool fa_known = false;
  if (reuse && fp != nullptr && gp != nullptr) {
    StateVec origin;
    line.Origin(origin);
    if (SamePoint(origin, p, n)) {
      fa = *fp, fa_known = true;
      line.KnowOrigin(origin, *fp, *gp);
    }
  }
  mnbrak(a, b, c, fa, fb, fc, f1dim, fa_known);
  double xmin = 0.0;
  fret = dbrent_fdf(a, b, c, fdf1dim, accept, kLineTol, xmin);
  for (int j = 1; j <= n; ++j) {
    xi[j] = xmin * xi[j];
    p[j] = p[j] + xi[j];
  }
  if (!reuse || f_new == nullptr || g_new == nullptr) return false;
  const auto& kept = line.accepted();
  if (!SamePoint(kept.point, p, n)) return false;
  *f_new = kept.value;
  for (int j = 1; j <= n; ++j) (*g_new)[j] = kept.gradient[j];
  return true;
}

namespace minimize_detail {

template <int N, class Objective>
void Frprmn(StateVec& p, int n, double ftol, int& iter, double& fret, Objective& obj) {
  n = Vars<N>(n);
  StateVec ng, dir, xi;  // minus the previous gradient, previous direction, current one
  StateVec gp;           // the gradient at p, where the objective is fprev
  double fprev = obj.EvaluateWithGradient(p, xi);
  for (int j = 1; j <= n; ++j) {
    gp[j] = xi[j];
    ng[j] = -xi[j];
    dir[j] = ng[j];
    xi[j] = ng[j];
  }
  for (int k = 1; k <= kCgIterations; ++k) {
    iter = k;
    double f_new = 0.0;
    StateVec g_new;
    const bool known = dlinmin<Objective, N>(p, xi, n, fret, obj, &fprev, &gp, &f_new, &g_new);
    if (2.0 * std::fabs(fret - fprev) <= ftol * (std::fabs(fret) + std::fabs(fprev) + kCgEps)) return;
    // A fresh evaluation at the new point, with the gradient there (or the
    // ones the line search already computed at exactly this point).
    if (known) {
      fprev = f_new;
      for (int j = 1; j <= n; ++j) xi[j] = g_new[j];
    } else {
      fprev = obj.EvaluateWithGradient(p, xi);
    }
    double den = 0.0, num = 0.0;
    for (int j = 1; j <= n; ++j) {
      gp[j] = xi[j];
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

}  // namespace minimize_detail

// Polak-Ribiere conjugate gradients from p on an objective (see above).  On
// return p is the minimum found, fret the objective there (from the last
// line minimisation) and iter the number of line minimisations made.
// The minimisation itself is compiled once per number of variables.
template <class Objective>
void frprmn(StateVec& p, int n, double ftol, int& iter, double& fret, Objective& obj) {
  using minimize_detail::Frprmn;
  switch (n) {
    case 1: return Frprmn<1>(p, n, ftol, iter, fret, obj);
    case 2: return Frprmn<2>(p, n, ftol, iter, fret, obj);
    case 3: return Frprmn<3>(p, n, ftol, iter, fret, obj);
    case 4: return Frprmn<4>(p, n, ftol, iter, fret, obj);
    case 5: return Frprmn<5>(p, n, ftol, iter, fret, obj);
    case 6: return Frprmn<6>(p, n, ftol, iter, fret, obj);
    case 7: return Frprmn<7>(p, n, ftol, iter, fret, obj);
    case 8: return Frprmn<8>(p, n, ftol, iter, fret, obj);
    default: return Frprmn<0>(p, n, ftol, iter, fret, obj);
  }
}

// The same with a value function and a gradient function.
template <class Func, class DFunc>
void frprmn(StateVec& p, int n, double ftol, int& iter, double& fret, Func&& func, DFunc&& dfunc) {
  SeparateObjective<std::remove_reference_t<Func>, std::remove_reference_t<DFunc>> obj(func, dfunc);
  frprmn(p, n, ftol, iter, fret, obj);
}

}  // namespace chainmelt
