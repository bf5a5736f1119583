#include "search/equilibrium.hpp"

#include <cmath>
#include <limits>

#include "model/model.hpp"
#include "numeric/minimize.hpp"
#include "search/objective.hpp"

namespace chainmelt {

namespace {

// Starts per fluid-fraction axis, at (k + 1/2)/kGrid of the feasible range.
constexpr int kGrid = 8;
constexpr int kGrid2 = 4;  // per axis of the two-fraction variants (5, 8)
// Two minima are distinct when their total fluid fractions differ by more.
constexpr double kDistinct = 1e-3;
// Distances from the edges of the almost pure starts.
constexpr double kEdges[] = {1e-4, 1e-8, 1e-12};

// The state with fluid fractions a (and, for n0 = 5 the component fraction,
// for n0 = 8 the fluid fraction of B, b) and random-mixing pair variables.
StateVec MixingState(const Model& m, double a, double b) {
  StateVec p;
  const double c = m.para.conc, c2 = m.para.conc2;
  if (IsAltMode(m.para)) {
    p[1] = a, p[2] = 0.0;
    return p;
  }
  switch (m.n0) {
    case 1:
      p[1] = a;
      break;
    case 2:
      p[1] = a, p[2] = a * a;
      break;
    case 4:
      p[1] = a, p[2] = a * a, p[3] = a * c, p[4] = c * c;
      break;
    case 5:
      p[1] = a, p[2] = b, p[3] = a * a, p[4] = a * b, p[5] = b * b;
      break;
    case 8: {
      const double ag = (1.0 - c2) - a, bg = c2 - b;
      p[1] = a, p[2] = b, p[3] = a * a, p[4] = b * b, p[5] = ag * bg, p[6] = b * ag;
      p[7] = a * bg, p[8] = a * b;
      break;
    }
    default:
      break;
  }
  return p;
}

double FluidTotal(const Model& m, const StateVec& p) {
  return m.n0 == 8 ? p[1] + p[2] : p[1];
}

// The largest total fluid fraction of the variant.
double FluidRange(const Model& m) {
  if (m.n0 == 4) return 1.0 - m.para.conc;
  return 1.0;
}

}  // namespace

double EnergyAt(const Model& m, const StateVec& p, double F) {
  const Para& a = m.para;
  if (!IsAltMode(a)) {
    switch (m.n0) {
      case 2:
        return a.dH * p[1] + 3.0 * a.w * p[2];
      case 4:
        return a.e2 * a.conc + a.dH * p[1] + 3.0 * a.w * p[2] + 6.0 * a.w3 * p[3] +
               3.0 * a.w2 * p[4];
      case 5:
        return a.e2 * p[2] + a.dH * p[1] + 3.0 * a.w * p[3] + 6.0 * a.w3 * p[4] +
               3.0 * a.w2 * p[5];
      case 8:
        return a.dH * p[1] + (a.dH + a.dH2) * p[2] + 3.0 * a.w * (p[3] + p[4] + 2.0 * p[8]);
      default:
        break;
    }
  }
  // F - T dF/dT at fixed state.
  const double h = 1e-4 * m.T;
  Model up = m, down = m;
  up.T = m.T + h;
  down.T = m.T - h;
  return F - m.T * (FreeCalc(up, p) - FreeCalc(down, p)) / (2.0 * h);
}

void StepOrderEquilibrium(RunState& rs) {
  const Model& m = rs;
  WalledFreeEnergyObjective walled(m);
  const bool two = !IsAltMode(m.para) && (m.n0 == 5 || m.n0 == 8);
  const int na = two ? kGrid2 : kGrid;
  const int nb = two ? kGrid2 : 1;
  const double range = FluidRange(m);

  double best = std::numeric_limits<double>::infinity();
  int best_iter = 0;
  StateVec best_p;
  // Lowest and highest total fluid fraction of the minima, to tell the
  // families apart.
  double lo_x = 0, hi_x = 0;
  bool any = false;
  // One start with fractions (u, v) of the ranges of the fluid fraction(s).
  auto start = [&](double u, double v) {
    double a = u * range, b = 0.0;
    if (m.n0 == 5) {
      b = v * (1.0 - a);  // x_s in what x_f leaves
    } else if (m.n0 == 8) {
      a = u * (1.0 - m.para.conc2);
      b = v * m.para.conc2;
    }
    StateVec p = MixingState(m, a, b);
    if (!Check(m, p, m.n0)) return;
    double f = FreeCalc(m, p);
    int iter = 0;
    frprmn(p, m.n0, rs.ftol, iter, f, walled);
    if (!std::isfinite(f) || !Check(m, p, m.n0)) return;
    const double x = FluidTotal(m, p);
    if (!any) {
      lo_x = hi_x = x;
      any = true;
    }
    lo_x = std::fmin(lo_x, x);
    hi_x = std::fmax(hi_x, x);
    if (f < best) {
      best = f;
      best_p = p;
      best_iter = iter;
    }
  };
  for (int i = 0; i < na; ++i)
    for (int j = 0; j < nb; ++j) start((i + 0.5) / na, (j + 0.5) / nb);
  // Almost pure states: far from the transition the minimum lies so close to
  // an edge that the conjugate gradients from the grid stall in the narrow
  // wedge the pair variables leave there.
  for (const double eps : kEdges) {
    start(eps, eps);
    start(1.0 - eps, 1.0 - eps);
  }
  if (!any) {
    // No start is feasible (conc or conc2 outside their ranges): the
    // sentinel, as for an infeasible state.
    rs.fret0 = kSentinel;
    rs.minima = 0;
    rs.iter = 0;
    return;
  }
  rs.p0 = best_p;
  rs.fret0 = best;
  rs.iter = best_iter;
  const double x = FluidTotal(m, best_p);
  rs.minima = hi_x - lo_x > kDistinct ? 2 : 1;
  if (rs.minima == 2) {
    rs.branch = std::fabs(x - lo_x) <= std::fabs(x - hi_x) ? 0 : 1;
  } else {
    rs.branch = x < 0.5 * FluidRange(m) ? 0 : 1;
  }
  rs.U = EnergyAt(m, best_p, best);
}

}  // namespace chainmelt
