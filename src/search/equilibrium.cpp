// Equilibrium search: the lowest minimum of the free energy from a fixed grid
// of starts over the whole feasible range of the fluid fraction(s).
//
// The starts are deterministic on purpose: nothing is drawn from the random
// generator, so a point's result does not depend on the points before it and
// the default searches see the generator exactly as before.  The pair
// probabilities start at their random-mixing values (products of the site
// fractions), which lie inside the feasible region for every fluid fraction.
#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <utility>

#include <boost/math/tools/roots.hpp>

#include "model/model.hpp"
#include "model/ligand.hpp"
#include "model/variant_base.hpp"
#include "model/variants.hpp"
#include "numeric/minimize.hpp"
#include "search/check.hpp"
#include "search/equilibrium.hpp"
#include "search/objective.hpp"

namespace chainmelt {

namespace {

// Alternative mode: the scan of the fluid fraction, kAltStrata even strata
// and kAltTail points towards each end, at 10^-15 ... 10^-2.5 from it, and
// below that down to 1e-300 in ever larger steps of ln x (the states of a
// strongly cooperative membrane lie that close to the gel end; 1 - x cannot
// come closer to 0 than 1e-16).
constexpr int kAltStrata = 64;
constexpr int kAltTail = 26;
constexpr double kAltDeep[] = {300, 256, 192, 128, 96, 64, 48, 32, 24, 20, 16};  // -log10 x
constexpr int kAltDeepPoints = static_cast<int>(sizeof kAltDeep / sizeof kAltDeep[0]);
constexpr int kAltScan = kAltDeepPoints + kAltStrata + 2 * kAltTail;
constexpr double kAltLogRoot = 1e-3;  // below this, roots are found along ln x
constexpr int kMaxStarts = kMaxGridStarts;
constexpr double kSameState = 1e-6;  // largest component difference of one minimum
constexpr int kNewtonSteps = 8;
// Where Newton steps finish a minimisation, conjugate gradients stop at this
// coarser tolerance; a polish that does not converge goes back to them.
constexpr double kCoarseTol = 1e-8;
constexpr double kConverged = 1e-10;  // last Newton step, relative to the state
constexpr double kInf = std::numeric_limits<double>::infinity();


// Almost pure gel and fluid states: far from the transition the minimum lies
// so close to an edge that conjugate gradients from the grid stall in the
// narrow wedge the pair variables leave there (n0 = 2 at 10 K: F = 34 where
// the gel minimum has F = 0).  Their runs are kept only where they end lower
// than every minimum of the grid; elsewhere they stall near their edge
// themselves and would pass for minima.
int FillEdgeStarts(const Model& m, StateVec* s) {
  const Para& para = m.para;
  int n = 0;
  if (!IsAltMode(para)) {
    for (const double eps : {1e-4, 1e-8, 1e-12}) {
      for (const bool fluid : {false, true}) {
        const double u = fluid ? 1.0 - eps : eps;
        if (AlmostPureState(m, u, eps, s[n])) ++n;
      }
    }
  }
  return n;
}

double MaxAbs(const StateVec& g, int n) {
  double m = 0.0;
  for (int i = 1; i <= n; ++i) m = std::fmax(m, std::fabs(g[i]));
  return m;
}

// Solves a d = -g by Cholesky on a copy of the n x n matrix h; false when h is
// not positive definite (a saddle or worse: no Newton step).
bool NewtonStep(const Matrix& h, const StateVec& g, int n, StateVec& d) {
  double a[kMaxVars + 1][kMaxVars + 1];
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) a[i][j] = h[i][j];
  for (int j = 1; j <= n; ++j) {
    double s = a[j][j];
    for (int k = 1; k < j; ++k) s -= a[j][k] * a[j][k];
    if (!(s > 0.0)) return false;
    a[j][j] = std::sqrt(s);
    for (int i = j + 1; i <= n; ++i) {
      double t = a[i][j];
      for (int k = 1; k < j; ++k) t -= a[i][k] * a[j][k];
      a[i][j] = t / a[j][j];
    }
  }
  StateVec y;
  for (int i = 1; i <= n; ++i) {
    double t = -g[i];
    for (int k = 1; k < i; ++k) t -= a[i][k] * y[k];
    y[i] = t / a[i][i];
  }
  for (int i = n; i >= 1; --i) {
    double t = y[i];
    for (int k = i + 1; k <= n; ++k) t -= a[k][i] * d[k];
    d[i] = t / a[i][i];
  }
  return true;
}

// Newton steps from the minimum p (free energy f) while each one lowers the
// largest gradient component and does not raise the free energy beyond its
// rounding.  Returns the number of steps taken; converged tells whether the
// last step was below kConverged.
int Polish(const Model& m, Matrix& hes, StateVec& p, double& f, bool& converged) {
  converged = false;
  const int n = m.n0;
  StateVec g;
  DerCalc(m, p, g);
  double gmax = MaxAbs(g, n);
  int steps = 0;
  for (int k = 0; k < kNewtonSteps && gmax > 0.0; ++k) {
    HesseCalc(m, p, n, hes);
    StateVec d;
    if (!NewtonStep(hes, g, n, d)) break;
    // A step this small is at the rounding of the state: converged, whether
    // or not the step itself still improves anything.
    const bool small = MaxAbs(d, n) <= kConverged * (1.0 + MaxAbs(p, n));
    StateVec q;
    for (int i = 1; i <= n; ++i) q[i] = p[i] + d[i];
    if (!Check(m, q, n)) break;
    StateVec gq;
    const double fq = FreeDerCalc(m, q, gq);
    const double gqmax = MaxAbs(gq, n);
    if (gqmax < gmax && fq <= f + 1e-12 * std::fmax(1.0, std::fabs(f))) {
      p = q, f = fq, g = gq, gmax = gqmax;
      ++steps;
    } else if (!small) {
      break;
    }
    if (small) {
      converged = true;
      break;
    }
  }
  if (gmax == 0.0) converged = true;
  return steps;
}

struct Found {
  StateVec p;
  double f = kInf;
  double share = 0;
  int iter = 0;
  int newton = 0;
};

bool SameState(const Model& m, const StateVec& a, const StateVec& b) {
  for (int i = 1; i <= m.n0; ++i) {
    // -ln z of the alternative mode has no natural scale: relative there.
    const double scale = IsAltMode(m.para) && i == 2 ? std::fmax(1.0, std::fabs(a[i])) : 1.0;
    if (!(std::fabs(a[i] - b[i]) <= kSameState * scale)) return false;
  }
  return true;
}

// True when a is preferred to b: lower free energy, on a tie the larger share.
bool Lower(const Found& a, const Found& b) {
  return a.f < b.f || (a.f == b.f && a.share > b.share);
}

Minimum AsMinimum(const Found& from, int n) {
  Minimum r;
  for (int i = 1; i <= n; ++i) r.p[i] = from.p[i];
  r.f = from.f;
  r.iter = from.iter;
  return r;
}


// The alternative mode.  Its gradient vector is by design not that of its
// free energy (which is unbounded below in p2), so it has no minimum to
// search for: its states are the zeros of that vector.  For a fluid fraction
// x, the second component (conc2 minus the binding degree, falling in p2)
// has one zero a(x), found by bracketing and TOMS 748; the states are then
// where the first component along x, g1(x, a(x)), rises through zero.

template <class F>
bool ToRoot(double lo, double hi, double flo, double fhi, double& root, F f) {
  std::uintmax_t it = 200;
  try {
    const std::pair<double, double> r = boost::math::tools::toms748_solve(
        f, lo, hi, flo, fhi, boost::math::tools::eps_tolerance<double>(50), it);
    root = 0.5 * (r.first + r.second);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

bool AltActivity(const Model& m, double x, double& a) {
  StateVec p;
  p[1] = x;
  auto g2 = [&m, &p](double t) {
    p[2] = t;
    StateVec g;
    DerCalc(m, p, g);
    return g[2];
  };
  double lo = -1.0, hi = 1.0;
  double glo = g2(lo), ghi = g2(hi);
  for (int k = 0; k < 64 && !(glo > 0.0); ++k) glo = g2(lo *= 2.0);
  for (int k = 0; k < 64 && !(ghi < 0.0); ++k) ghi = g2(hi *= 2.0);
  if (glo == 0.0) return a = lo, true;
  if (ghi == 0.0) return a = hi, true;
  if (!(glo > 0.0 && ghi < 0.0)) return false;
  return ToRoot(lo, hi, glo, ghi, a, g2);
}

// g1 at (x, a(x)), NaN where a(x) does not exist.
double AltSlope(const Model& m, double x, double& a) {
  if (!AltActivity(m, x, a)) return std::numeric_limits<double>::quiet_NaN();
  StateVec p, g;
  p[1] = x;
  p[2] = a;
  DerCalc(m, p, g);
  return g[1];
}

// The k-th fluid fraction of the scan, k = 1 .. kAltScan, ascending.
double AltScanPoint(int k) {
  if (k <= kAltDeepPoints) return std::pow(10.0, -kAltDeep[k - 1]);
  k -= kAltDeepPoints;
  if (k <= kAltTail) return std::pow(10.0, -15.0 + 0.5 * (k - 1));
  if (k <= kAltTail + kAltStrata) return variant::Stratum(k - kAltTail, kAltStrata, 1.0);
  return 1.0 - std::pow(10.0, -2.5 - 0.5 * (k - kAltTail - kAltStrata - 1));
}

int AltStates(const Model& m, Found* found) {
  int nfound = 0;
  double a = 0.0;
  double xprev = AltScanPoint(1);
  double hprev = AltSlope(m, xprev, a);
  for (int k = 2; k <= kAltScan && nfound < kMaxStarts; ++k) {
    const double x = AltScanPoint(k);
    const double h = AltSlope(m, x, a);
    if (hprev < 0.0 && h >= 0.0) {
      double root = x;
      // Near the gel end along ln x, where the slope goes as T ln x and
      // brackets span many decades.
      const bool along_log = x < kAltLogRoot;
      auto f = [&m, along_log](double t) {
        double b = 0.0;
        const double v = AltSlope(m, along_log ? std::exp(t) : t, b);
        return std::isnan(v) ? 0.0 : v;
      };
      bool ok = h == 0.0;
      if (!ok && along_log) {
        double t = 0.0;
        ok = ToRoot(std::log(xprev), std::log(x), hprev, h, t, f);
        root = std::exp(t);
      } else if (!ok) {
        ok = ToRoot(xprev, x, hprev, h, root, f);
      }
      if (ok) {
        Found st;
        st.p[1] = root;
        if (AltActivity(m, root, st.p[2]) && Check(m, st.p, 2)) {
          st.f = FreeCalc(m, st.p);
          st.share = root;
          found[nfound++] = st;
        }
      }
    }
    xprev = x, hprev = h;
  }
  return nfound;
}

}  // namespace

int EquilibriumStarts(const Model& m) {
  if (IsAltMode(m.para)) return kAltScan;
  StateVec s[kMaxStarts];
  return GridStarts(m, s);
}

double EquilibriumEnergy(const Model& m, const StateVec& p) {
  if (HasHessian(m)) {
    // The free energy of a pair variant is affine in T at a fixed state, so
    // F - T dF/dT is the free energy at T = 0.
    Model cold = m;
    cold.T = 0.0;
    return FreeCalc(cold, p);
  }
  if (!Check(m, p, m.n0)) return kSentinel;
  // Ligand variants: U = x dH + w x^2 / 2 + sum over k of B(k) (N - k) dH2
  // q(k) / (1 + q(k)), q(k) = z exp(-(N - k) eps / T) (z = exp(-p2) in the
  // alternative mode), the derivative of T ln(1 + q(k)) with respect to T.
  const Para& para = m.para;
  const double x = p[1];
  const bool alt = IsAltMode(para);
  const double N = para.nu + 1.0;
  const double eps = para.dH2 - m.T * para.dS2;
  double bound = 0.0;
  for (double k = 0.0; k <= N && !std::isnan(bound); k += 1.0) {
    const double t = -(N - k) * eps / m.T;
    double sigma;
    if (alt) {
      sigma = 1.0 / (1.0 + std::exp(-(t - p[2])));
    } else if (para.z == 0.0) {
      sigma = 0.0;
    } else {
      sigma = 1.0 / (1.0 + std::exp(-(t + std::log(para.z))));
    }
    bound += ligand::LigandWeight(N, k, x) * ((N - k) * para.dH2) * sigma;
  }
  double U = x * para.dH + 0.5 * para.w * (x * x) + bound;
  if (alt) U += para.conc2 * p[2];
  return U;
}

EquilibriumResult StepOrderEquilibrium(const RunState& rs, const EquilibriumOptions& options) {
  HesseWork work(rs.n0);
  return StepOrderEquilibrium(rs, work, options);
}

namespace {

// One run of the search from `start`: conjugate gradients behind the wall,
// polished where asked.  False where the start is infeasible or the run
// ends outside the region.
bool MinimiseFrom(const RunState& rs, HesseWork& work, bool polish,
                  const EquilibriumOptions& options, const StateVec& start, Found& run) {
  const Model& m = rs;
  const int n = rs.n0;
  run.p = start;
  if (!Check(m, run.p, n)) return false;  // only at the edge of the region
  if (options.first) {
    StateVec q = start;
    double fq = 0.0;
    int steps = 0;
    const bool found = options.first(m, q, fq, steps);
    run.iter += steps;
    if (found) {
      run.p = q;
      run.newton = steps;
      run.f = FreeCalc(m, run.p);
      run.share = FluidShare(m, run.p);
      return true;
    }
  }
  WalledFreeEnergyObjective walled(m);
  run.f = walled.Evaluate(run.p);
  frprmn(run.p, n, polish ? kCoarseTol : rs.ftol, run.iter, run.f, walled);
  if (!(run.f < kInf)) return false;
  if (polish) {
    bool converged = false;
    run.newton = Polish(m, work.hes, run.p, run.f, converged);
    if (!converged) {
      int more = 0;
      frprmn(run.p, n, rs.ftol, more, run.f, walled);
      run.iter += more;
      run.newton = Polish(m, work.hes, run.p, run.f, converged);
    }
  }
  run.f = FreeCalc(m, run.p);
  run.share = FluidShare(m, run.p);
  return true;
}

// Adds run to the distinct minima found[0 .. nfound-1], or keeps the lower
// of it and the minimum it coincides with.  A run from an edge start counts
// only where it is lower than every minimum found.
void Merge(const Model& m, const Found& run, bool edge, Found* found, int& nfound) {
  if (edge) {
    for (int j = 0; j < nfound; ++j)
      if (!(run.f < found[j].f)) return;
  }
  int same = -1;
  for (int j = 0; j < nfound && same < 0; ++j)
    if (SameState(m, run.p, found[j].p)) same = j;
  if (same < 0)
    found[nfound++] = run;
  else if (Lower(run, found[same]))
    found[same] = run;
}

// The result from the distinct minima found (at least one).
EquilibriumResult Summarise(const Model& m, const Found* found, int nfound) {
  const int n = m.n0;
  EquilibriumResult r;
  r.minima = nfound;
  int best = 0;
  for (int j = 1; j < nfound; ++j)
    if (Lower(found[j], found[best])) best = j;
  double lo = found[0].share, hi = found[0].share;
  for (int j = 1; j < nfound; ++j) {
    lo = std::fmin(lo, found[j].share);
    hi = std::fmax(hi, found[j].share);
  }
  const double mid = 0.5 * (lo + hi);
  int gel = -1, fluid = -1;
  if (nfound >= 2) {
    for (int j = 0; j < nfound; ++j) {
      int& side = found[j].share < mid ? gel : fluid;
      if (side < 0 || Lower(found[j], found[side])) side = j;
    }
  }
  const Found& eq = found[best];
  for (int j = 0; j < nfound; ++j) r.distinct[j] = AsMinimum(found[j], n);
  r.lowest = AsMinimum(eq, n);
  r.share = eq.share;
  r.newton_steps = eq.newton;
  r.U = EquilibriumEnergy(m, eq.p);
  if (gel >= 0 && fluid >= 0) {
    r.two_sides = true;
    r.gel = AsMinimum(found[gel], n);
    r.fluid = AsMinimum(found[fluid], n);
    r.branch = eq.share < mid ? Branch::kGelRich : Branch::kFluidRich;
  } else {
    r.gel = r.lowest;
    r.fluid = r.lowest;
    r.branch = eq.share < 0.5 ? Branch::kGelRich : Branch::kFluidRich;
  }
  return r;
}

}  // namespace

EquilibriumResult StepOrderEquilibrium(const RunState& rs, HesseWork& work,
                                       const EquilibriumOptions& options) {
  const Model& m = rs;
  Found found[kMaxStarts];
  int nfound = 0;
  if (IsAltMode(m.para)) {
    nfound = AltStates(m, found);
  } else {
    const bool polish = options.polish && HasHessian(m);
    StateVec starts[kMaxStarts];
    const int count = GridStarts(m, starts);
    StateVec edges[kMaxStarts];
    const int nedges = FillEdgeStarts(m, edges);
    for (int s = 0; s < count + nedges; ++s) {
      const bool edge = s >= count;
      Found run;
      if (MinimiseFrom(rs, work, polish, options, edge ? edges[s - count] : starts[s], run))
        Merge(m, run, edge, found, nfound);
    }
  }
  if (nfound == 0) {
    // No feasible start at all (a variant without a model): the sentinel.
    EquilibriumResult r;
    r.lowest.f = r.gel.f = r.fluid.f = kSentinel;
    return r;
  }
  return Summarise(m, found, nfound);
}

}  // namespace chainmelt
