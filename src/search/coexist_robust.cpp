// Coexistence enthalpy at the current temperature: the root in dH of the
// free-energy difference of the lowest gel-rich and the lowest fluid-rich
// minimum, bracketed on the scale of the problem and narrowed by TOMS 748.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <exception>
#include <utility>

#include <boost/math/tools/roots.hpp>

#include "model/model.hpp"
#include "search/equilibrium.hpp"

namespace chainmelt {

namespace {

constexpr double kFirstHalfWidth = 1e-3;  // of the scale s
constexpr double kReach = 2.0;            // farthest end from the estimate, in s
constexpr double kRootTol = 1e-10;        // relative width of the final bracket in dH
constexpr double kDistinctPhases = 1e-3;  // smallest fluid-share gap of two phases
constexpr std::uintmax_t kRootIterations = 100;

// What one equilibrium search at dH = h says about D(h) = fret1 - fret2.
struct Probe {
  bool feasible = false;
  bool both = false;  // two distinct minima, one of each family: D is a value
  double D = 0;       // fret1 - fret2 (only when both)
  int sign = 0;       // sign of D; with one family only, that family's (gel: -1)
  double share = 0;   // fluid share of the equilibrium state
};

// The dH-slope of the free energy at a fixed state: the fluid chains.
double FluidChains(const Model& m, const StateVec& p) {
  return m.n0 == 8 && !IsAltMode(m.para) ? p[1] + p[2] : p[1];
}

// The equilibrium searches of one coexistence search, with the phases the
// last of them found.
struct Searcher {
  RunState& rs;
  HesseWork& work;
  int& searches;
  FamilyMinima last;
};

Probe At(Searcher& s, double h) {
  s.rs.para.dH = h;
  const EquilibriumResult r = StepOrderEquilibrium(s.rs, s.work);
  ++s.searches;
  s.last.gel = r.gel;
  s.last.fluid = r.fluid;
  s.last.iter = r.lowest.iter;
  Probe p;
  p.feasible = r.minima > 0 && std::isfinite(r.lowest.f);
  p.share = r.share;
  p.both = r.two_sides;
  if (p.both) {
    p.D = r.gel.f - r.fluid.f;
    p.sign = p.D > 0.0 ? 1 : (p.D < 0.0 ? -1 : 0);
  } else {
    p.sign = r.branch == Branch::kGelRich ? -1 : 1;
  }
  return p;
}

// The starting estimate of the coexistence task; the composition enters for
// n0 = 4 only (elsewhere conc is no composition), and the mean-field variants
// have w/2 where the pair variants have 3w.
double Estimate(const RunState& rs) {
  const Para& para = rs.para;
  if (rs.n0 == 4 && !IsAltMode(para)) {
    return (3.0 * para.w * ((1.0 - para.conc) * (1.0 - para.conc)) + para.w3 * para.conc -
            rs.T * para.dS * (1.0 - para.conc)) /
           (para.conc - 1.0);
  }
  const double b = rs.n0 == 1 || IsAltMode(para) ? 0.5 : 3.0;
  return rs.T * para.dS - b * para.w;
}

}  // namespace

const char* CoexistReason(CoexistStatus s) {
  switch (s) {
    case CoexistStatus::kFound: return "";
    case CoexistStatus::kBadTemperature: return "the temperature is not positive";
    case CoexistStatus::kEstimateNotFinite: return "the estimate of dH is not finite";
    case CoexistStatus::kNoFeasibleMinimum: return "no feasible minimum at a trial dH";
    case CoexistStatus::kNoSignChange:
      return "no transition within the physical range of dH (no sign change of the "
             "free-energy difference)";
    case CoexistStatus::kSinglePhase:
      return "gel and fluid never form distinct phases (above the critical temperature)";
    case CoexistStatus::kNotConverged:
      return "the free energies of the two phases differ at the root by more than the "
             "tolerance";
  }
  return "";
}

CoexistOutcome CoexistRobust(RunState& rs, HesseWork& work) {
  CoexistOutcome out;
  Searcher searcher{rs, work, out.searches, {}};
  auto fail = [&out](CoexistStatus s, double h) {
    out.status = s;
    out.dH = h;
    return out;
  };
  if (!(rs.T > 0.0)) return fail(CoexistStatus::kBadTemperature, rs.para.dH);
  const double E = Estimate(rs);
  out.estimate = E;
  if (!std::isfinite(E)) return fail(CoexistStatus::kEstimateNotFinite, rs.para.dH);
  double s = std::fmax(std::fabs(E), std::fabs(rs.T * rs.para.dS));
  if (!(s > 0.0) || !std::isfinite(s)) s = 1.0;

  // Bracket: D > 0 at lo (fluid stable), D < 0 at hi (gel stable).
  double w = kFirstHalfWidth * s;
  double lo = E - w, hi = E + w;
  Probe plo = At(searcher, lo);
  Probe phi = At(searcher, hi);
  double root = 0.0;
  bool exact = false;
  for (;;) {
    out.lo = lo, out.hi = hi;
    if (!plo.feasible) return fail(CoexistStatus::kNoFeasibleMinimum, lo);
    if (!phi.feasible) return fail(CoexistStatus::kNoFeasibleMinimum, hi);
    if (plo.both && plo.sign == 0) {
      root = lo, exact = true;
      break;
    }
    if (phi.both && phi.sign == 0) {
      root = hi, exact = true;
      break;
    }
    if (plo.sign > 0 && phi.sign < 0) break;
    if (w >= kReach * s) return fail(CoexistStatus::kNoSignChange, rs.para.dH);
    w = 2.0 * w;
    if (plo.sign < 0 && phi.sign < 0) {  // gel everywhere: the root lies lower
      hi = lo, phi = plo;
      lo = E - w, plo = At(searcher, lo);
    } else if (plo.sign > 0 && phi.sign > 0) {  // fluid everywhere: higher
      lo = hi, plo = phi;
      hi = E + w, phi = At(searcher, hi);
    } else {  // the wrong way round: look wider on both sides
      lo = E - w, plo = At(searcher, lo);
      hi = E + w, phi = At(searcher, hi);
    }
  }

  // Ends with one family only: halve until both ends hold both families.
  // The equilibrium fluid share falls monotonically with dH, so ends whose
  // shares are within kDistinctPhases leave no room for distinct phases.
  while (!exact && !(plo.both && phi.both)) {
    out.lo = lo, out.hi = hi;
    if (!(std::fabs(plo.share - phi.share) > kDistinctPhases) ||
        !(hi - lo > kRootTol * std::fmax(std::fabs(lo), std::fabs(hi))))
      return fail(CoexistStatus::kSinglePhase, rs.para.dH);
    const double mid = 0.5 * (lo + hi);
    const Probe pm = At(searcher, mid);
    if (!pm.feasible) return fail(CoexistStatus::kNoFeasibleMinimum, mid);
    if (pm.both && pm.sign == 0) {
      root = mid, exact = true;
    } else if (pm.sign > 0) {
      lo = mid, plo = pm;
    } else {
      hi = mid, phi = pm;
    }
  }

  if (!exact) {
    const double flo = plo.D, fhi = phi.D;
    const double outside = std::fmax(std::fabs(flo), std::fabs(fhi));
    auto D = [&](double h) {
      const Probe p = At(searcher, h);
      if (p.both) return p.D;
      return p.sign * outside;  // one family vanished inside: its sign keeps the bracket
    };
    auto tol = [s](double a, double b) {
      return std::fabs(b - a) <=
             kRootTol * std::fmax(std::fmax(std::fabs(a), std::fabs(b)), 1e-3 * s);
    };
    std::uintmax_t iterations = kRootIterations;
    std::pair<double, double> r{lo, hi};
    try {
      r = boost::math::tools::toms748_solve(D, lo, hi, flo, fhi, tol, iterations);
    } catch (const std::exception&) {
      return fail(CoexistStatus::kNotConverged, rs.para.dH);
    }
    out.lo = r.first, out.hi = r.second;
    root = 0.5 * (r.first + r.second);
  } else {
    out.lo = out.hi = root;
  }

  const Probe pr = At(searcher, root);
  out.dH = root;
  out.phases = searcher.last;
  const Minimum& gel = out.phases.gel;
  const Minimum& fluid = out.phases.fluid;
  if (!pr.feasible) return fail(CoexistStatus::kNoFeasibleMinimum, root);
  const Model& m = rs;
  if (!pr.both ||
      !(std::fabs(FluidShare(m, gel.p) - FluidShare(m, fluid.p)) > kDistinctPhases)) {
    out.status = CoexistStatus::kSinglePhase;
    return out;
  }
  const double slope = FluidChains(m, gel.p) - FluidChains(m, fluid.p);
  out.gap = std::fabs(gel.f - fluid.f);
  out.gap_tol = std::fabs(slope) * (out.hi - out.lo) +
                rs.ftol * (std::fabs(gel.f) + std::fabs(fluid.f)) + 64.0 * DBL_EPSILON * s;
  if (!(out.gap <= out.gap_tol)) {
    out.status = CoexistStatus::kNotConverged;
    return out;
  }
  out.found = true;
  out.status = CoexistStatus::kFound;
  return out;
}

}  // namespace chainmelt
