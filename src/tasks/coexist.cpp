// Task "coexist": at the current temperature, the melting enthalpy dH at
// which the gel-rich and the fluid-rich minimum have equal free energy.
//
// Starting from an estimate of that enthalpy, two trial values 0.02 apart
// are widened (each step multiplies the width by 2.6) until the difference
// of the two free energies changes sign between them; a width above 10 gives
// up.  The record reports both phases at the trial value evaluated last.
// A point without a record says why in one line on the diagnostics stream.
#include <cmath>
#include "search/equilibrium.hpp"
#include "search/search.hpp"
#include "tasks/record.hpp"
#include "tasks/tasks.hpp"

namespace chainmelt {

namespace {

constexpr int kLastPass = 50;
constexpr double kMaxWidth = 10.0;
constexpr double kSamePhase = 0.001;  // smallest fluid-fraction gap of two phases

// Free energy of the gel-rich minimum minus that of the fluid-rich one at
// dH = h.
double Difference(RunState& rs, double h) {
  rs.para.dH = h;
  StepOrderDiscont(rs);
  return rs.fret1 - rs.fret2;
}

// The record of both phases at the current dH.
void EmitCoexistence(RunState& rs) {
  Emit(rs, RecordBuf()
               .Add(rs.T)
               .Add(rs.para.dH)
               .AddState(rs.p1, rs.n0)
               .AddState(rs.p2, rs.n0)
               .Add(rs.fret1)
               .Add(rs.iter)
               .Add(rs.fret2)
               .Add(rs.iter));
}

}  // namespace

namespace {

// The opt-in search: the root of the free-energy difference, bracketed on
// the scale of the problem and narrowed by TOMS 748.
void CoexistByRoot(RunState& rs) {
  const CoexistOutcome o = CoexistRobust(rs);
  if (!o.found) {
    rs.ctx->Diagnostic("coexist at T = %f: no record, %s", rs.T, CoexistReason(o.status));
    return;
  }
  EmitCoexistence(rs);
}

}  // namespace

void TaskCoexist(RunState& rs) {
  if (rs.equilibrium) return CoexistByRoot(rs);
  Para& para = rs.para;
  const double E = (3.0 * para.w * ((1.0 - para.conc) * (1.0 - para.conc)) + para.w3 * para.conc -
                    rs.T * para.dS * (1.0 - para.conc)) /
                   (para.conc - 1.0);
  if (!std::isfinite(E)) {
    rs.ctx->Diagnostic("coexist at T = %f: no record, the estimate of dH is not finite", rs.T);
    return;
  }
  double hi = E + 0.01;
  double lo = E - 0.01;
  double Dhi = Difference(rs, hi);
  double Dlo = Difference(rs, lo);

  bool bracketed = false;
  for (int pass = 0; pass <= kLastPass; ++pass) {
    if (std::fabs(hi - lo) > kMaxWidth) {
      rs.ctx->Diagnostic(
                   "coexist at T = %f: no record, no sign change of the free-energy difference "
                   "before the trial values of dH spread from %f to %f",
                   rs.T, lo, hi);
      return;
    }
    if (Dhi * Dlo < 0.0) {
      bracketed = true;
      break;
    }
    const double width = hi - lo;
    if (std::fabs(Dlo) > std::fabs(Dhi)) {
      hi = hi + 1.6 * (hi - lo);
      Dhi = Difference(rs, hi);
    } else {
      lo = lo + 1.6 * (lo - hi);
      Dlo = Difference(rs, lo);
    }
    // At enthalpies of 2^47 and more, E +- 0.01 rounds to E and the width
    // can no longer grow: the search would run out of passes and report a
    // record without a sign change.
    if (!(hi - lo > width)) break;
  }
  if (!bracketed) {
    rs.ctx->Diagnostic(
        "coexist at T = %f: no record, the trial values of dH (%g to %g) cannot be widened at "
        "this magnitude of the estimate",
        rs.T, lo, hi);
    return;
  }

  if (rs.fret1 == kSentinel || rs.fret2 == kSentinel) {
    rs.ctx->Diagnostic(
                 "coexist at T = %f: no record, a phase has no feasible minimum at dH = %f",
                 rs.T, para.dH);
    return;
  }
  if (!(std::fabs(rs.p1[1] - rs.p2[1]) > kSamePhase)) {
    rs.ctx->Diagnostic(
                 "coexist at T = %f: no record, both families ended in the same phase at dH = %f "
                 "(fluid fractions %f and %f)",
                 rs.T, para.dH, rs.p1[1], rs.p2[1]);
    return;
  }

  EmitCoexistence(rs);
}

}  // namespace chainmelt
