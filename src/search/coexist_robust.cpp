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

// What one equilibrium search at dH = h says about D(h) = F(gel) - F(fluid).
struct Probe {
  bool feasible = false;
  bool both = false;  // two distinct minima, one of each family: D is a value
  double D = 0;       // F(gel) - F(fluid) (only when both)
  int sign = 0;       // sign of D; with one family only, that family's (gel: -1)
  double share = 0;   // fluid share of the equilibrium state
};

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

namespace {

// The stages of one coexistence search, sharing its bracket [lo, hi] with
// the probes at its ends.  Each stage returns false when the search ends
// there (out.status and out.dH say how).
struct Bracket {
  Bracket(Searcher& searcher_, CoexistOutcome& out_, double E_, double s_)
      : searcher(searcher_), out(out_), E(E_), s(s_) {}

  Searcher& searcher;
  CoexistOutcome& out;
  double E, s;  // the estimate and the scale
  double lo = 0, hi = 0;
  Probe plo, phi;
  double root = 0;
  bool exact = false;  // root is a dH where the two free energies are equal

  bool Fail(CoexistStatus status, double h) {
    out.status = status;
    out.dH = h;
    return false;
  }

  // D > 0 at lo (fluid stable), D < 0 at hi (gel stable): the bracket grows
  // from the estimate, doubling, up to kReach * s.
  bool Widen() {
    double w = kFirstHalfWidth * s;
    lo = E - w, hi = E + w;
    plo = At(searcher, lo);
    phi = At(searcher, hi);
    for (;;) {
      out.lo = lo, out.hi = hi;
      if (!plo.feasible) return Fail(CoexistStatus::kNoFeasibleMinimum, lo);
      if (!phi.feasible) return Fail(CoexistStatus::kNoFeasibleMinimum, hi);
      if (plo.both && plo.sign == 0) return Exact(lo);
      if (phi.both && phi.sign == 0) return Exact(hi);
      if (plo.sign > 0 && phi.sign < 0) return true;
      if (w >= kReach * s) return Fail(CoexistStatus::kNoSignChange, searcher.rs.para.dH);
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
  }

  bool Exact(double h) {
    root = h, exact = true;
    return true;
  }

  // Ends with one family only: halve until both ends hold both families.
  // The equilibrium fluid share falls monotonically with dH, so ends whose
  // shares are within kDistinctPhases leave no room for distinct phases.
  bool BothFamiliesAtTheEnds() {
    while (!exact && !(plo.both && phi.both)) {
      out.lo = lo, out.hi = hi;
      if (!(std::fabs(plo.share - phi.share) > kDistinctPhases) ||
          !(hi - lo > kRootTol * std::fmax(std::fabs(lo), std::fabs(hi))))
        return Fail(CoexistStatus::kSinglePhase, searcher.rs.para.dH);
      const double mid = 0.5 * (lo + hi);
      const Probe pm = At(searcher, mid);
      if (!pm.feasible) return Fail(CoexistStatus::kNoFeasibleMinimum, mid);
      if (pm.both && pm.sign == 0) {
        Exact(mid);
      } else if (pm.sign > 0) {
        lo = mid, plo = pm;
      } else {
        hi = mid, phi = pm;
      }
    }
    return true;
  }

  // TOMS 748 on the bracket.
  bool Narrow() {
    if (exact) {
      out.lo = out.hi = root;
      return true;
    }
    const double flo = plo.D, fhi = phi.D;
    const double outside = std::fmax(std::fabs(flo), std::fabs(fhi));
    auto D = [&](double h) {
      const Probe p = At(searcher, h);
      if (p.both) return p.D;
      return p.sign * outside;  // one family vanished inside: its sign keeps the bracket
    };
    const double scale = s;
    auto tol = [scale](double a, double b) {
      return std::fabs(b - a) <=
             kRootTol * std::fmax(std::fmax(std::fabs(a), std::fabs(b)), 1e-3 * scale);
    };
    std::uintmax_t iterations = kRootIterations;
    std::pair<double, double> r{lo, hi};
    try {
      r = boost::math::tools::toms748_solve(D, lo, hi, flo, fhi, tol, iterations);
    } catch (const std::exception&) {
      return Fail(CoexistStatus::kNotConverged, searcher.rs.para.dH);
    }
    out.lo = r.first, out.hi = r.second;
    root = 0.5 * (r.first + r.second);
    return true;
  }

  // The phases at the root: distinct, and of equal free energy within what
  // the bracket and the rounding allow.
  void Verdict() {
    const RunState& rs = searcher.rs;
    const Probe pr = At(searcher, root);
    out.dH = root;
    out.phases = searcher.last;
    const Minimum& gel = out.phases.gel;
    const Minimum& fluid = out.phases.fluid;
    if (!pr.feasible) {
      Fail(CoexistStatus::kNoFeasibleMinimum, root);
      return;
    }
    const Model& m = rs;
    if (!pr.both ||
        !(std::fabs(FluidShare(m, gel.p) - FluidShare(m, fluid.p)) > kDistinctPhases)) {
      out.status = CoexistStatus::kSinglePhase;
      return;
    }
    const double slope = FluidChains(m, gel.p) - FluidChains(m, fluid.p);
    out.gap = std::fabs(gel.f - fluid.f);
    out.gap_tol = std::fabs(slope) * (out.hi - out.lo) +
                  rs.ftol * (std::fabs(gel.f) + std::fabs(fluid.f)) + 64.0 * DBL_EPSILON * s;
    if (!(out.gap <= out.gap_tol)) {
      out.status = CoexistStatus::kNotConverged;
      return;
    }
    out.found = true;
    out.status = CoexistStatus::kFound;
  }
};

}  // namespace

CoexistOutcome CoexistRobust(RunState& rs, HesseWork& work) {
  CoexistOutcome out;
  Searcher searcher{rs, work, out.searches, {}};
  if (!(rs.T > 0.0)) {
    out.status = CoexistStatus::kBadTemperature;
    out.dH = rs.para.dH;
    return out;
  }
  const double E = Estimate(rs);
  out.estimate = E;
  if (!std::isfinite(E)) {
    out.status = CoexistStatus::kEstimateNotFinite;
    out.dH = rs.para.dH;
    return out;
  }
  double s = std::fmax(std::fabs(E), std::fabs(rs.T * rs.para.dS));
  if (!(s > 0.0) || !std::isfinite(s)) s = 1.0;

  Bracket b(searcher, out, E, s);
  if (b.Widen() && b.BothFamiliesAtTheEnds() && b.Narrow()) b.Verdict();
  return out;
}

}  // namespace chainmelt
