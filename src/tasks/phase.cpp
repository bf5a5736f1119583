// Task "phase": the equilibrium state at the current sweep point, the lower
// of the gel-rich and the fluid-rich minimum.
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "search/equilibrium.hpp"
#include "search/search.hpp"
#include "tasks/curve.hpp"
#include "tasks/record.hpp"
#include "tasks/registry.hpp"
#include "tasks/tasks.hpp"
#include "tasks/names.hpp"

namespace chainmelt {

namespace {

constexpr const char* kName = kTaskPhase;

void PhaseRecord(RecordBuf& r, const Model& m, const Minimum& s) {
  r.Add("T", kUnitTemperature, m.T).State(m, s.p).Add("F", kUnitEnergy, s.f).Int("iter", s.iter);
}

// Under the equilibrium search: the records of a whole sweep from one
// equilibrium curve.
void PhaseCurve(RunState& rs, const std::vector<double>& xs, int threads,
                const std::function<void(std::size_t)>& at_point) {
  const SweepCurve sc = TrackSweep(rs, xs, threads, [&rs] { rs.ctx->Poll(); });
  const char* var = sc.var == SweepVar::kEnthalpy ? "dH" : "T";
  for (std::size_t k = 0; k < xs.size(); ++k) {
    at_point(k);
    const CurvePoint& cp = sc.curve.points[sc.sorted[k]];
    if (!cp.ok) {
      rs.ctx->Warning("phase at %s = %f: no record, no feasible minimum was found", var, cp.x);
      continue;
    }
    Minimum eq;
    eq.p = cp.p, eq.f = cp.F, eq.iter = cp.iterations;
    RecordBuf r;
    PhaseRecord(r, rs, eq);
    Emit(rs, r);
  }
}

}  // namespace

void TaskPhase(RunState& rs, HesseWork& work) {
  RecordBuf r;
  if (rs.equilibrium) {
    const EquilibriumResult eq = StepOrderEquilibrium(rs, work);
    if (eq.lowest.f == kSentinel) return NoEquilibriumState(rs, kName);
    PhaseRecord(r, rs, eq.lowest);
    Emit(rs, r);
    return;
  }
  const FamilyMinima fam = StepOrderDiscont(rs);

  // The fluid-rich family wins ties.
  Minimum eq = fam.fluid.f > fam.gel.f ? fam.gel : fam.fluid;
  eq.iter = fam.iter;
  if (fam.gel.f == kSentinel || fam.fluid.f == kSentinel) return;

  PhaseRecord(r, rs, eq);
  Emit(rs, r);
  WarnIfNotEquilibrium(rs, kName, eq.p, eq.f);
}

namespace {

class Phase : public Task {
 public:
  explicit Phase(const RunState& rs) : work_(rs.n0) {}
  void Run(RunState& rs) override { TaskPhase(rs, work_); }
  void Draws(RunState& rs) override {
    if (!rs.equilibrium) StepOrderDiscontDraws(rs);  // the equilibrium search draws nothing
  }
  // The ligand-activity mode has no minima to follow: its points are
  // searched one by one.
  bool TakesWholeSweep(const RunState& rs) const override {
    return rs.equilibrium && !IsAltMode(rs.para);
  }
  void RunSweep(RunState& rs, const std::vector<double>& xs, int threads,
                const std::function<void(std::size_t)>& at_point) override {
    PhaseCurve(rs, xs, threads, at_point);
  }

 private:
  HesseWork work_;
};

RecordLayout PhaseLayout(const Model& m, bool) {
  RecordLayout l{kName, {}, 0};
  RecordBuf r(&l.columns);
  PhaseRecord(r, m, Minimum{});
  return l;
}

}  // namespace

const TaskDef kPhaseTask = {kName, false, true, PhaseLayout,
                            [](const RunState& rs) -> std::unique_ptr<Task> {
                              return std::make_unique<Phase>(rs);
                            }};

}  // namespace chainmelt
