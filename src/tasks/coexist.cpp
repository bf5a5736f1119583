// Task "coexist": at the current temperature, the melting enthalpy dH at
// which the gel-rich and the fluid-rich minimum have equal free energy.
//
// Starting from an estimate of that enthalpy, two trial values 0.02 apart
// are widened (each step multiplies the width by 2.6) until the difference
// of the two free energies changes sign between them; a width above 10 gives
// up.  The record reports both phases at the trial value evaluated last.
// A point without a record says why in one line on the diagnostics stream.
#include <cmath>
#include <memory>

#include "model/model.hpp"
#include "search/continuation.hpp"
#include "search/equilibrium.hpp"
#include "search/search.hpp"
#include "tasks/record.hpp"
#include "tasks/registry.hpp"
#include "tasks/tasks.hpp"
#include "tasks/names.hpp"

namespace chainmelt {

namespace {

constexpr int kLastPass = 50;
constexpr double kMaxWidth = 10.0;
constexpr double kSamePhase = 0.001;  // smallest fluid-fraction gap of two phases

constexpr const char* kName = kTaskCoexist;

// Free energy of the gel-rich minimum minus that of the fluid-rich one at
// dH = h; the two minima go to `last`.
double Difference(RunState& rs, double h, FamilyMinima& last) {
  rs.para.dH = h;
  last = StepOrderDiscont(rs);
  return last.gel.f - last.fluid.f;
}

// The record of both phases at the current dH; both report the iterations
// of the phases' search.
void CoexistRecord(RecordBuf& r, const Model& m, const FamilyMinima& ph) {
  r.Add("T", kUnitTemperature, m.T).Add("dH", kUnitEnergy, m.para.dH);
  r.State(m, ph.gel.p, "_gel").State(m, ph.fluid.p, "_fluid");
  r.Add("F_gel", kUnitEnergy, ph.gel.f).Int("iter_gel", ph.iter);
  r.Add("F_fluid", kUnitEnergy, ph.fluid.f).Int("iter_fluid", ph.iter);
}

void EmitCoexistence(RunState& rs, const FamilyMinima& ph) {
  RecordBuf r;
  CoexistRecord(r, rs, ph);
  Emit(rs, r);
}

// The opt-in search: the equilibrium followed along dH by continuation
// around the estimate; coexistence where it jumps between two distinct
// minima (their crossing, by TOMS 748).  Both iteration columns hold the
// iterations of the whole continuation.
void CoexistByContinuation(RunState& rs) {
  const TrackedCoexist o = CoexistTracked(rs);
  if (o.status != TrackedCoexistStatus::kFound) {
    const CoexistStatus why = o.status == TrackedCoexistStatus::kBadTemperature
                                  ? CoexistStatus::kBadTemperature
                              : o.status == TrackedCoexistStatus::kNoMinimum
                                  ? CoexistStatus::kNoFeasibleMinimum
                                  : CoexistStatus::kSinglePhase;
    rs.ctx->Diagnostic("coexist at T = %f: no record, %s", rs.T, CoexistReason(why));
    return;
  }
  rs.para.dH = o.dH;
  FamilyMinima ph;
  ph.gel.p = o.gel, ph.fluid.p = o.fluid;
  ph.gel.f = FreeCalc(rs, o.gel), ph.fluid.f = FreeCalc(rs, o.fluid);
  ph.iter = ph.gel.iter = ph.fluid.iter = o.iterations;
  EmitCoexistence(rs, ph);
}

}  // namespace

void TaskCoexist(RunState& rs, HesseWork& /*work*/) {
  if (rs.equilibrium) return CoexistByContinuation(rs);
  FamilyMinima last;
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
  double Dhi = Difference(rs, hi, last);
  double Dlo = Difference(rs, lo, last);

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
      Dhi = Difference(rs, hi, last);
    } else {
      lo = lo + 1.6 * (lo - hi);
      Dlo = Difference(rs, lo, last);
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

  if (last.gel.f == kSentinel || last.fluid.f == kSentinel) {
    rs.ctx->Diagnostic(
                 "coexist at T = %f: no record, a phase has no feasible minimum at dH = %f",
                 rs.T, para.dH);
    return;
  }
  if (!(std::fabs(last.gel.p[1] - last.fluid.p[1]) > kSamePhase)) {
    rs.ctx->Diagnostic(
                 "coexist at T = %f: no record, both families ended in the same phase at dH = %f "
                 "(fluid fractions %f and %f)",
                 rs.T, para.dH, last.gel.p[1], last.fluid.p[1]);
    return;
  }

  EmitCoexistence(rs, last);
}

namespace {

class Coexist : public Task {
 public:
  explicit Coexist(const RunState& rs) : work_(rs.n0) {}
  void Run(RunState& rs) override { TaskCoexist(rs, work_); }

 private:
  HesseWork work_;
};

RecordLayout CoexistLayout(const Model& m, bool) {
  RecordLayout l{kName, {}, 0};
  RecordBuf r(&l.columns);
  CoexistRecord(r, m, FamilyMinima{});
  return l;
}

}  // namespace

// Sequential: the trial enthalpies of a point depend on the free energies
// found at its earlier trials, so its draws are not known before the searches.
const TaskDef kCoexistTask = {kName, false, false, CoexistLayout,
                              [](const RunState& rs) -> std::unique_ptr<Task> {
                                return std::make_unique<Coexist>(rs);
                              }};

}  // namespace chainmelt
