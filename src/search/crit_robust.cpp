// Critical point: the temperature at which the coexistence line ends.
//
// Below the critical temperature the robust coexistence search finds two
// distinct phases of equal free energy; above it, none.  Along the line the
// Hessian determinant at the coexisting states falls to zero as the two
// phases merge, so its minimum along the line is the line's end: finding the
// end by bracketing and halving in T is that minimisation done exactly, and
// cannot stop on the first-order part of the line where the determinant is
// small but not zero.
#include <cmath>
#include <limits>

#include "model/model.hpp"
#include "search/equilibrium.hpp"

namespace chainmelt {

namespace {

constexpr double kFirstStep = 0.05;  // first temperature step, relative to the start T
constexpr int kMaxDoublings = 12;    // the reach: steps up to 0.05 * 2^12 of T
constexpr int kMaxHalvings = 200;

}  // namespace

const char* CritReason(CritStatus s) {
  switch (s) {
    case CritStatus::kFound: return "";
    case CritStatus::kBadStart: return "the start temperature is not positive";
    case CritStatus::kNoCoexistence:
      return "no coexistence of gel and fluid at any temperature below the start";
    case CritStatus::kNoEnd:
      return "gel and fluid coexist at every temperature above the start";
    case CritStatus::kLineLeavesRange:
      return "the coexistence line ends, but not at a critical point";
  }
  return "";
}

namespace {

// Coexistence searches along the temperature, remembering the coexistence
// enthalpy of the last temperature with coexistence and why the last one
// without had none.
struct Line {
  RunState& rs;
  HesseWork& work;
  CritOutcome& out;
  double dH_below = 0.0;
  CoexistStatus end = CoexistStatus::kSinglePhase;

  // Coexistence at T (T > 0 always: every step multiplies or divides it).
  bool Coexists(double T) {
    rs.T = T;
    const CoexistOutcome c = CoexistRobust(rs, work);
    ++out.coexist_searches;
    if (c.found) dH_below = c.dH;
    else end = c.status;
    return c.found;
  }
};

// From T0, steps up (coexistence at T0) or down (none) until one temperature
// has coexistence (below) and one has none (above).  The reason there is no
// coexistence at `above` is taken where the bracket is first closed, a few
// per cent above the end.  Closer to the end the two phases differ by little
// more than the search resolves, and the reason there says more about the
// resolution than about the line.  False (out.status set, T back at T0)
// where the reach ends first.
bool BracketTheEnd(Line& line, double T0, double& below, double& above,
                   CoexistStatus& above_end) {
  CritOutcome& out = line.out;
  const bool up = line.Coexists(T0);
  if (up) {
    below = T0;
  } else {
    above = T0, above_end = line.end;
  }
  double step = kFirstStep;
  for (int k = 0;; ++k, step *= 2.0) {
    if (k > kMaxDoublings) {
      out.status = up ? CritStatus::kNoEnd : CritStatus::kNoCoexistence;
      if (!up) out.end = above_end;
      line.rs.T = T0;
      return false;
    }
    const double T = up ? T0 * (1.0 + step) : T0 / (1.0 + step);
    const bool c = line.Coexists(T);
    if (c) {
      below = T;
      if (!up) return true;
    } else {
      above = T, above_end = line.end;
      if (up) return true;
    }
  }
}

}  // namespace

CritOutcome CritRobust(RunState& rs, HesseWork& work, double rel_tol) {
  CritOutcome out;
  out.tol = rel_tol;
  const double T0 = rs.T;
  out.det = std::numeric_limits<double>::quiet_NaN();
  if (!(T0 > 0.0) || !std::isfinite(T0)) {
    out.status = CritStatus::kBadStart;
    return out;
  }

  Line line{rs, work, out};
  double below = 0.0, above = 0.0;
  CoexistStatus above_end = CoexistStatus::kSinglePhase;
  if (!BracketTheEnd(line, T0, below, above, above_end)) return out;
  auto coexists = [&line](double T) { return line.Coexists(T); };
  for (int k = 0; k < kMaxHalvings && above - below > rel_tol * below; ++k) {
    const double mid = 0.5 * (below + above);
    if (!(mid > below && mid < above)) break;
    if (coexists(mid)) {
      below = mid;
    } else {
      above = mid;
    }
  }
  // dH_below is the coexistence enthalpy found at `below`.
  out.end = above_end;
  out.T_below = below;
  out.T_above = above;
  out.T = 0.5 * (below + above);
  out.dH = line.dH_below;
  out.rel_width = (above - below) / out.T;
  rs.T = out.T;
  rs.para.dH = out.dH;
  out.state = StepOrderEquilibrium(rs, work).lowest;
  const int n = rs.n0;
  if (HasHessian(rs)) {
    HesseCalc(rs, out.state.p, n, work.hes);
    DetCalc(n, work.hes, work.indx, out.det);
  }
  out.found = above_end == CoexistStatus::kSinglePhase;
  out.status = out.found ? CritStatus::kFound : CritStatus::kLineLeavesRange;
  return out;
}

}  // namespace chainmelt
