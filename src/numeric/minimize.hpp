// Line minimisation along a direction (dlinmin) and Polak-Ribiere conjugate
// gradients (frprmn), on the one-dimensional minimisers of bracket.hpp.
//
// All routines are templates over their callables:
//   objective                  double(const StateVec&)
//   gradient                   void(const StateVec& p, StateVec& g), fills g[1..n]
// or over an objective type offering the value, the gradient and both
// together (see SeparateObjective below).  Nothing here allocates on the
// heap; vectors are StateVec (n <= kMaxVars).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

#include "numeric/arrays.hpp"
#include "numeric/bracket.hpp"
#include "numeric/fatal.hpp"

namespace chainmelt {


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
