// Newton minimisation on the closed-form Hessian, continuation of one
// minimum, the observables of a minimum, and the global search's minima.
#include <cmath>
#include <limits>

#include "model/free_grad.hpp"
#include "model/model.hpp"
#include "numeric/fatal.hpp"
#include "numeric/minimize.hpp"
#include "search/continuation_detail.hpp"

namespace chainmelt::cont {

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kInf = std::numeric_limits<double>::infinity();
// Newton decrement g.H^-1.g below which a minimum has converged, relative to
// the energy scale; a decrement this small moves F by far less than 1e-10 of
// it.
constexpr double kDecrement = 1e-20;
// Where no step lowers F any more, a decrement this small is the rounding
// floor of the gradient: converged as well.
constexpr double kDecrementFloor = 1e-13;
// Below this decrement a full step is taken without comparing F.
constexpr double kQuadratic = 1e-10;
// Largest change of any component in one continuation step: a minimum that
// moves farther is followed in smaller steps, and one that keeps jumping
// however small the step (it slid into another minimum past its spinodal)
// has vanished.
constexpr double kMaxMove = 0.1;
// A continued minimum lies within this share of the predicted move from the
// prediction (plus the floor, for moves at the rounding of the state).
constexpr double kPredicted = 0.5;
constexpr double kPredictedFloor = 1e-9;
constexpr int kContinueIter = 10;
constexpr int kGuessIter = 3;
constexpr int kContinueHalvings = 8;
constexpr int kContinueDepth = 12;
constexpr int kPolishIter = 60;
constexpr int kPolishHalvings = 60;
// Relative step of the finite differences of the mean-field variant.
constexpr double kDiff = 1e-5;

// +infinity outside the feasible region, so no minimisation leaves it.
class Walled {
 public:
  static constexpr bool kDeterministic = true;
  explicit Walled(const Model& m) : m_(m) {}
  double Evaluate(const StateVec& p) const {
    return Check(m_, p, m_.n0) ? FreeCalc(m_, p) : kInf;
  }
  void Gradient(const StateVec& p, StateVec& g) const { DerCalc(m_, p, g); }
  double EvaluateWithGradient(const StateVec& p, StateVec& g) const {
    DerCalc(m_, p, g);
    return Evaluate(p);
  }

 private:
  const Model& m_;
};

// dF/dp1 of the mean-field variant, and its derivative by a central
// difference (the variant has no closed-form Hessian).
double Slope1(const Model& m, double x) {
  StateVec p, g;
  p[1] = x;
  DerCalc(m, p, g);
  return g[1];
}

double Curvature1(const Model& m, double x) {
  const double d = kDiff * std::fmin(x, 1.0 - x);
  return (Slope1(m, x + d) - Slope1(m, x - d)) / (2.0 * d);
}

// The Hessian of the free energy at p into w.h[1..n][1..n].
void Hessian(const Model& m, const StateVec& p, Work& w) {
  if (m.n0 == 1) {
    w.h[1][1] = Curvature1(m, p[1]);
  } else {
    HesseCalc(m, p, m.n0, w.h);
  }
}

// Cholesky factor L (lower, L[i][i] > 0) of h; false when h is not positive
// definite.
bool Cholesky(const Matrix& h, int n, double (&L)[kMaxVars + 1][kMaxVars + 1]) {
  for (int j = 1; j <= n; ++j) {
    double s = h[j][j];
    for (int k = 1; k < j; ++k) s -= L[j][k] * L[j][k];
    if (!(s > 0.0) || !std::isfinite(s)) return false;
    L[j][j] = std::sqrt(s);
    for (int i = j + 1; i <= n; ++i) {
      double t = h[i][j];
      for (int k = 1; k < j; ++k) t -= L[i][k] * L[j][k];
      L[i][j] = t / L[j][j];
    }
  }
  return true;
}

// x = H^-1 b from the Cholesky factor.
void Solve(const double (&L)[kMaxVars + 1][kMaxVars + 1], int n, const StateVec& b, StateVec& x) {
  StateVec y;
  for (int i = 1; i <= n; ++i) {
    double t = b[i];
    for (int k = 1; k < i; ++k) t -= L[i][k] * y[k];
    y[i] = t / L[i][i];
  }
  for (int i = n; i >= 1; --i) {
    double t = y[i];
    for (int k = i + 1; k <= n; ++k) t -= L[k][i] * x[k];
    x[i] = t / L[i][i];
  }
}

double Moved(const StateVec& a, const StateVec& b, int n) {
  double d = 0.0;
  for (int i = 1; i <= n; ++i) d = std::fmax(d, std::fabs(a[i] - b[i]));
  return d;
}

// True when the free energy of m curves upward along the segment from p to
// q (sampled at a quarter, a half and three quarters).  A minimum followed in a small step stays in one convex
// well; one that slid past a spinodal into another well crossed a region of
// downward curvature on the way.
bool ConvexBetween(const Model& m, const StateVec& p, const StateVec& q, Work& w) {
  const int n = m.n0;
  if (Moved(p, q, n) <= kPredictedFloor) return true;  // no room for another well
  StateVec d;
  for (int i = 1; i <= n; ++i) d[i] = q[i] - p[i];
  for (const double s : {0.25, 0.5, 0.75}) {
    StateVec r;
    for (int i = 1; i <= n; ++i) r[i] = p[i] + s * d[i];
    if (!Check(m, r, n)) return false;
    Hessian(m, r, w);
    double c = 0.0;
    for (int i = 1; i <= n; ++i)
      for (int j = 1; j <= n; ++j) c += d[i] * w.h[i][j] * d[j];
    if (!(c > 0.0)) return false;
  }
  return true;
}

// Whether the minimum q at x1, continued from the minimum p at x0, is p's
// own and not one it slid into past a spinodal.  With two or more variables
// the slide shows on the way as a Hessian that is not positive definite (the
// saddle), and the tests below would also reject good steps near a spinodal.
// With one variable there is no saddle to see: q must lie where the tangent
// predicted (pred) and in the same convex well as p.
bool Followed(const Model& m, const StateVec& p, const StateVec& q, const StateVec& pred, Work& w) {
  if (m.n0 != 1) return true;
  return Moved(q, pred, m.n0) <= kPredicted * Moved(pred, p, m.n0) + kPredictedFloor &&
         ConvexBetween(m, p, q, w);
}

bool ContinueRec(const Model& base, SweepVar var, double x0, double x1, StateVec& p, double& F,
                 int& steps, Work& w, int depth) {
  Model m = base;
  SetSweep(m, var, x1);
  StateVec q = p, first;
  double Fq = F;
  if (NewtonMin(m, q, Fq, kContinueIter, kContinueHalvings, steps, w, true, &first) ==
          NewtonStatus::kConverged &&
      Moved(p, q, m.n0) <= kMaxMove) {
    // The first Newton step from the minimum at x0 is the tangent's
    // prediction of the minimum at x1.
    StateVec pred;
    for (int i = 1; i <= m.n0; ++i) pred[i] = p[i] + first[i];
    if (Followed(m, p, q, pred, w)) {
      p = q, F = Fq;
      return true;
    }
  }
  const double mid = 0.5 * (x0 + x1);
  if (depth >= kContinueDepth || !(mid != x0 && mid != x1)) return false;
  q = p, Fq = F;
  if (!ContinueRec(base, var, x0, mid, q, Fq, steps, w, depth + 1)) return false;
  if (!ContinueRec(base, var, mid, x1, q, Fq, steps, w, depth + 1)) return false;
  p = q, F = Fq;
  return true;
}

// The energy of the mean-field variant at fluid fraction x: the fluid chains,
// the interaction and the binding enthalpy of the bound ligands.
double Energy1(const Model& m, double x) {
  const Para& pa = m.para;
  const double N = pa.nu + 1.0;
  const double eps = pa.dH2 - m.T * pa.dS2;
  double bound = 0.0;
  for (double k = 0.0; k <= N && pa.z != 0.0; k += 1.0) {
    const double t = -(N - k) * eps / m.T + std::log(pa.z);
    const double sigma = 1.0 / (1.0 + std::exp(-t));
    const double B = fak(N) / (fak(N - k) * fak(k)) * std::pow(x, N - k) * std::pow(1.0 - x, k);
    bound += B * ((N - k) * pa.dH2) * sigma;
  }
  return x * pa.dH + 0.5 * pa.w * (x * x) + bound;
}

}  // namespace

double Scale(const Model& m) {
  const Para& pa = m.para;
  const double s = std::fabs(pa.dH) + std::fabs(m.T * pa.dS) + 3.0 * std::fabs(pa.w) +
                   3.0 * std::fabs(pa.w2) + 6.0 * std::fabs(pa.w3) + std::fabs(pa.e2) +
                   std::fabs(pa.dH2) + std::fabs(m.T * pa.dS2) + std::fabs(m.T);
  return s > 0.0 && std::isfinite(s) ? s : 1.0;
}

void SetSweep(Model& m, SweepVar var, double x) {
  if (var == SweepVar::kTemperature) {
    m.T = x;
  } else {
    m.para.dH = x;
  }
}

bool SameState(const Model& m, const StateVec& a, const StateVec& b) {
  for (int i = 1; i <= m.n0; ++i)
    if (!(std::fabs(a[i] - b[i]) <= kSameState)) return false;
  return true;
}

bool Trackable(const Model& m) {
  return !IsAltMode(m.para) &&
         (m.n0 == 1 || m.n0 == 2 || m.n0 == 4 || m.n0 == 5 || m.n0 == 8) && m.T > 0.0;
}

NewtonStatus NewtonMin(const Model& m, StateVec& p, double& F, int max_iter, int max_halvings,
                       int& steps, Work& w, bool strict, StateVec* first) {
  const int n = m.n0;
  double last = std::numeric_limits<double>::infinity();
  if (!Check(m, p, n)) return NewtonStatus::kInfeasible;
  // F at p is formed only when a step has to be compared with it: a full
  // step in the quadratic region is taken on the Newton decrement alone.
  bool known = false;
  const double scale = Scale(m);
  for (int it = 0; it < max_iter; ++it) {
    StateVec g, d;
    DerCalc(m, p, g);
    Hessian(m, p, w);
    double L[kMaxVars + 1][kMaxVars + 1];
    if (!Cholesky(w.h, n, L)) return NewtonStatus::kIndefinite;
    Solve(L, n, g, d);
    double dec = 0.0;
    for (int i = 1; i <= n; ++i) {
      d[i] = -d[i];
      dec -= g[i] * d[i];
    }
    if (!(dec >= 0.0)) return NewtonStatus::kIndefinite;
    if (first != nullptr && it == 0) *first = d;
    // A continuation converges from its start without leaving the quadratic
    // region: the decrement falls at every step.
    if (strict && !(dec < 0.5 * last) && dec > kDecrementFloor * scale) return NewtonStatus::kStuck;
    last = dec;
    if (dec <= kDecrement * scale) {
      if (!known) F = FreeCalc(m, p);
      return NewtonStatus::kConverged;
    }
    double t = 1.0;
    bool accepted = false;
    for (int h = 0; h <= max_halvings && !accepted; ++h, t *= 0.5) {
      StateVec q;
      for (int i = 1; i <= n; ++i) q[i] = p[i] + t * d[i];
      if (!Check(m, q, n)) continue;
      const bool quadratic = h == 0 && dec <= kQuadratic * scale;
      StateVec gq;
      // F and the gradient at q share their logarithms.
      const double Fq = quadratic ? FreeDerCalc(m, q, gq) : FreeCalc(m, q);
      if (quadratic) {
        // Close to the minimum the full step is taken without comparing F;
        // the decrement after it, estimated with this Hessian, says whether
        // it converged (it saves the next Hessian and its factorisation).
        StateVec e;
        Solve(L, n, gq, e);
        double next = 0.0;
        for (int i = 1; i <= n; ++i) next += gq[i] * e[i];
        p = q, F = Fq, known = true;
        if (next >= 0.0 && next <= kDecrement * scale) {
          ++steps;
          return NewtonStatus::kConverged;
        }
        accepted = true;
        break;
      }
      if (!known) F = FreeCalc(m, p), known = true;
      // Rounding of F itself: a step may not raise it by more.  A
      // continuation may halve a step only to stay in the region.
      const double slack = 8.0 * kEps * (std::fabs(F) + scale);
      if (strict && !(Fq <= F + slack)) return NewtonStatus::kStuck;
      if (Fq <= F + slack) {
        // A step that no longer changes F beyond its rounding, from a
        // decrement at the rounding floor of the gradient: converged (deep
        // in a pure phase the dependent fractions lose their digits).
        const bool floor = dec <= kDecrementFloor * scale && std::fabs(F - Fq) <= slack;
        p = q, F = Fq;
        accepted = true;
        if (floor) {
          ++steps;
          return NewtonStatus::kConverged;
        }
      }
    }
    if (!accepted) {
      if (!known) F = FreeCalc(m, p);
      return dec <= kDecrementFloor * scale ? NewtonStatus::kConverged : NewtonStatus::kStuck;
    }
    ++steps;
  }
  return NewtonStatus::kTooMany;
}

bool Continue(const Model& base, SweepVar var, double x0, double x1, StateVec& p, double& F,
              int& steps, Work& w, const StateVec* guess) {
  if (guess != nullptr) {
    Model m = base;
    SetSweep(m, var, x1);
    StateVec q = *guess;
    double Fq = F;
    if (NewtonMin(m, q, Fq, kGuessIter, 0, steps, w, true) == NewtonStatus::kConverged) {
      // The guess must lead to the minimum p leads to, not to a neighbour.
      const bool near = Moved(p, q, m.n0) <= kMaxMove &&
                        (m.n0 == 1 ? Followed(m, p, q, *guess, w)
                                   : Moved(q, *guess, m.n0) <= Moved(*guess, p, m.n0) + kSameState);
      if (near) {
        p = q, F = Fq;
        return true;
      }
    }
  }
  return ContinueRec(base, var, x0, x1, p, F, steps, w, 0);
}

bool MinimiserFallback(const Model& m, StateVec& p, double& F, int& steps, Work& w) {
  if (!Check(m, p, m.n0)) return false;
  StateVec q = p;
  Walled walled(m);
  double f = walled.Evaluate(q);
  int iter = 0;
  try {
    frprmn(q, m.n0, 1e-10, iter, f, walled);
  } catch (const FatalError&) {
    return false;  // a failed start, nothing more
  }
  steps += iter;
  double Fq = 0.0;
  if (NewtonMin(m, q, Fq, kPolishIter, kPolishHalvings, steps, w) != NewtonStatus::kConverged)
    return false;
  p = q, F = Fq;
  return true;
}

double Energy(const Model& m, const StateVec& p) {
  if (m.n0 == 1) return Energy1(m, p[1]);
  // The free energy of a pair variant is affine in T at a fixed state: U is
  // its value at T = 0.
  Model cold = m;
  cold.T = 0.0;
  return FreeCalc(cold, p);
}

double HeatCapacity(const Model& m, const StateVec& p, Work& w) {
  const int n = m.n0;
  if (n == 1) {
    // dU/dT = dU/dT|x + dU/dx dx/dT with dx/dT = -(dg/dT) / (dg/dx), every
    // derivative taken at the state itself.
    const double x = p[1];
    const double dT = kDiff * m.T;
    const double dx = kDiff * std::fmin(x, 1.0 - x);
    Model up = m, down = m;
    up.T = m.T + dT;
    down.T = m.T - dT;
    const double U_T = (Energy1(up, x) - Energy1(down, x)) / (2.0 * dT);
    const double U_x = (Energy1(m, x + dx) - Energy1(m, x - dx)) / (2.0 * dx);
    const double g_T = (Slope1(up, x) - Slope1(down, x)) / (2.0 * dT);
    const double g_x = Curvature1(m, x);
    return U_T - U_x * g_T / g_x;
  }
  HesseCalc(m, p, n, w.h);
  double L[kMaxVars + 1][kMaxVars + 1];
  if (!Cholesky(w.h, n, L)) return std::numeric_limits<double>::quiet_NaN();
  for (int j = 1; j <= n; ++j) {
    StateVec e, col;
    e[j] = 1.0;
    Solve(L, n, e, col);
    for (int i = 1; i <= n; ++i) w.inv[i][j] = col[i];
  }
  return HeatCalc(m, n, w.inv);
}

}  // namespace chainmelt::cont
