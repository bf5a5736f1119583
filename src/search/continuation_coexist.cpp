// Coexistence enthalpy and critical point on the continuation: at a fixed
// temperature the equilibrium is followed along dH over the physical range,
// and the coexistence enthalpy is the crossing of the two distinct minima
// between which it passes; the critical point is where that stops.
#include <cmath>
#include <vector>

#include "model/model.hpp"
#include "search/continuation.hpp"
#include "search/continuation_detail.hpp"

namespace chainmelt {

namespace {

// Half-widths of the windows of dH, in s = max(|E|, T |dS|).
constexpr double kWindows[] = {0.05, 0.2, 0.8, 2.0};
constexpr double kFirstStep = 0.05;  // first temperature step of the critical point, of T
constexpr int kMaxDoublings = 12;
constexpr int kMaxHalvings = 200;

// The starting estimate of the coexistence task.
double Estimate(const Model& m) {
  const Para& para = m.para;
  if (m.n0 == 4) {
    return (3.0 * para.w * ((1.0 - para.conc) * (1.0 - para.conc)) + para.w3 * para.conc -
            m.T * para.dS * (1.0 - para.conc)) /
           (para.conc - 1.0);
  }
  const double b = m.n0 == 1 ? 0.5 : 3.0;
  return m.T * para.dS - b * para.w;
}

double Share(const Model& m, const StateVec& p) {
  switch (m.n0) {
    case 4: return p[1] / (1.0 - m.para.conc);
    case 5: return p[1] / (1.0 - p[2]);
    case 8: return p[1] + p[2];
    default: return p[1];
  }
}

}  // namespace

TrackedCoexist CoexistTracked(const Model& model, int points) {
  TrackedCoexist out;
  if (!(model.T > 0.0) || !std::isfinite(model.T)) {
    out.status = TrackedCoexistStatus::kBadTemperature;
    return out;
  }
  const double E = Estimate(model);
  double s = std::fmax(std::fabs(E), std::fabs(model.T * model.para.dS));
  if (!(s > 0.0) || !std::isfinite(s)) s = 1.0;
  // Windows around the estimate, widened until one holds the transition:
  // the coexistence of the pair model lies at the estimate itself, and far
  // from it the phases are so pure that their dependent fractions lose
  // their digits.
  const int n = points < 3 ? 3 : points;
  std::vector<double> xs(static_cast<std::size_t>(n));
  ContinuationOptions opt;
  opt.var = SweepVar::kEnthalpy;
  opt.block = n;
  const Jump* best = nullptr;
  Curve c;
  bool any = false;
  for (const double r : kWindows) {
    out.lo = E - r * s;
    out.hi = E + r * s;
    for (int i = 0; i < n; ++i) xs[i] = out.lo + (out.hi - out.lo) * i / (n - 1);
    c = TrackCurve(model, xs, opt);
    out.global_searches += c.global_searches;
    for (const CurvePoint& p : c.points) any = any || p.ok, out.iterations += p.iterations;
    for (const Jump& j : c.jumps)
      if (best == nullptr || std::fabs(j.x - E) < std::fabs(best->x - E)) best = &j;
    if (best != nullptr) break;
    // Gel at the top end and fluid at the bottom, continuously: one phase.
    const CurvePoint& a = c.points.front();
    const CurvePoint& b = c.points.back();
    if (a.ok && b.ok) {
      Model ma = model, mb = model;
      ma.para.dH = a.x, mb.para.dH = b.x;
      if (Share(ma, a.p) > 0.9 && Share(mb, b.p) < 0.1) break;
    }
  }
  if (!any) {
    out.status = TrackedCoexistStatus::kNoMinimum;
    return out;
  }
  if (best == nullptr) {
    out.status = TrackedCoexistStatus::kSinglePhase;
    return out;
  }
  Model m = model;
  m.para.dH = best->x;
  const bool from_gel = Share(m, best->p_from) < Share(m, best->p_to);
  out.status = TrackedCoexistStatus::kFound;
  out.dH = best->x;
  out.F = best->F;
  out.gel = from_gel ? best->p_from : best->p_to;
  out.fluid = from_gel ? best->p_to : best->p_from;
  return out;
}

TrackedCrit CritTracked(const Model& model, double rel_tol, int points) {
  TrackedCrit out;
  const double T0 = model.T;
  if (!(T0 > 0.0) || !std::isfinite(T0)) {
    out.bad_start = true;
    return out;
  }
  double dH_below = 0.0;
  auto coexists = [&](double T) {
    Model m = model;
    m.T = T;
    const TrackedCoexist c = CoexistTracked(m, points);
    ++out.coexist_searches;
    if (c.status == TrackedCoexistStatus::kFound) dH_below = c.dH;
    return c.status == TrackedCoexistStatus::kFound;
  };
  double below = 0.0, above = 0.0;
  double step = kFirstStep;
  out.coexist_at_start = coexists(T0);
  if (out.coexist_at_start) {
    below = T0;
    for (int k = 0;; ++k, step *= 2.0) {
      if (k > kMaxDoublings) return out;
      const double T = T0 * (1.0 + step);
      if (!coexists(T)) {
        above = T;
        break;
      }
      below = T;
    }
  } else {
    above = T0;
    for (int k = 0;; ++k, step *= 2.0) {
      if (k > kMaxDoublings) return out;
      const double T = T0 / (1.0 + step);
      if (coexists(T)) {
        below = T;
        break;
      }
      above = T;
    }
  }
  for (int k = 0; k < kMaxHalvings && above - below > rel_tol * below; ++k) {
    const double mid = 0.5 * (below + above);
    if (!(mid > below && mid < above)) break;
    if (coexists(mid)) {
      below = mid;
    } else {
      above = mid;
    }
  }
  out.found = true;
  out.T_below = below;
  out.T_above = above;
  out.T = 0.5 * (below + above);
  out.dH = dH_below;
  return out;
}

}  // namespace chainmelt
