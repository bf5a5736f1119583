// "heat": one point of the heat-capacity curve per sweep point.
#include <cmath>
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "model/model.hpp"
#include "search/equilibrium.hpp"
#include "search/search.hpp"
#include "tasks/curve.hpp"
#include "tasks/record.hpp"
#include "tasks/registry.hpp"
#include "tasks/tasks.hpp"
#include "tasks/names.hpp"

namespace chainmelt {

namespace {

constexpr const char* kName = kTaskHeat;

// With the equilibrium search every record ends with U, the branch, the
// latent heat dU and where it was taken (x_jump, T_jump or dH_jump): where
// the equilibrium passes between two distinct minima from the previous point
// to this one (a first-order transition), dU = U_to - U_from at the crossing
// x_jump, reported once, here and on the diagnostics stream; 0 and 0
// elsewhere (0 is outside the model as a temperature, and a record with a
// transition always has dU != 0).
void AddEquilibrium(RecordBuf& r, const Model& m, bool equilibrium, const PointResult& pt,
                    double dU, double x_jump) {
  if (!equilibrium) return;
  r.Add("U", kUnitEnergy, pt.U).Int("branch", pt.branch).Add("dU", kUnitEnergy, dU);
  if (IsEnthalpySweep(m.para)) {
    r.Add("dH_jump", kUnitEnergy, x_jump);
  } else {
    r.Add("T_jump", kUnitTemperature, x_jump);
  }
}

// n0 = 1: T, z, theta, the state, Cp, F, iter.
void MeanFieldRecord(RecordBuf& r, const Model& m, bool equilibrium, const PointResult& pt,
                     double cp, double dU, double x_jump = 0.0) {
  const Minimum& s = pt.state;
  r.Add("T", kUnitTemperature, m.T).Add("z", kUnitOne, m.para.z);
  r.Add("theta", kUnitOne, ThetaCalc(m, s.p)).State(m, s.p);
  r.Add("Cp", kUnitBoltzmann, cp).Add("F", kUnitEnergy, s.f).Int("iter", s.iter);
  AddEquilibrium(r, m, equilibrium, pt, dU, x_jump);
}

// Pair variants: the sweep value, Cp, the state, F, iter.
void PairRecord(RecordBuf& r, const Model& m, bool equilibrium, const PointResult& pt, double c,
                double dU, double x_jump = 0.0) {
  const Minimum& s = pt.state;
  if (IsEnthalpySweep(m.para)) {
    r.Add("dH", kUnitEnergy, m.para.dH);
  } else {
    r.Add("T", kUnitTemperature, m.T);
  }
  r.Add("Cp", kUnitBoltzmann, c).State(m, s.p).Add("F", kUnitEnergy, s.f).Int("iter", s.iter);
  AddEquilibrium(r, m, equilibrium, pt, dU, x_jump);
}

// The latent heat of a first-order transition since the previous point,
// for points searched one by one (the ligand-activity mode, whose states are
// not minima and are not followed): U less U of the previous point, which
// holds the continuous change over the step too, with a warning saying so.
double LatentHeat(RunState& rs, HeatHistory& h, const PointResult& pt) {
  double dU = 0.0;
  if (rs.equilibrium && h.have_prev && pt.branch != h.branch_prev &&
      (pt.minima >= 2 || h.minima_prev >= 2)) {
    dU = pt.U - h.U_prev;
    const bool sweep_h = IsEnthalpySweep(rs.para);
    const char* var = sweep_h ? "dH" : "T";
    const double x = sweep_h ? rs.para.dH : rs.T;
    rs.ctx->Diagnostic("heat: first-order transition before %s = %f: latent heat dU = %f", var,
                       x, dU);
    rs.ctx->Warning("heat at %s = %f: a jump between states that are not followed: dU is U "
                    "less U of the previous point (the change over the whole step)",
                    var, x);
  }
  h.have_prev = true;
  h.branch_prev = pt.branch;
  h.minima_prev = pt.minima;
  h.U_prev = pt.U;
  return dU;
}

// n0 = 1: second difference of the minimised free energy over the last three
// sweep points, centred on the previous one.
void HeatMeanField(RunState& rs, HeatHistory& h, const PointResult& pt) {
  const double dU = LatentHeat(rs, h, pt);
  const double F = pt.state.f;
  const double heat =
      -((rs.T - rs.dT) * (rs.T - rs.dT) / (rs.dT * rs.dT)) * (F + h.alt2 - 2.0 * h.alt1);
  // The first two points only fill the history.
  if (rs.T >= rs.T_min + 2.0 * rs.dT) {
    RecordBuf r;
    MeanFieldRecord(r, rs, rs.equilibrium, pt, heat / rs.T, dU);
    Emit(rs, r);
  }
  h.alt2 = h.alt1;
  h.alt1 = F;
}

// Pair variants: heat capacity from the inverse Hessian at the minimum.
void HeatPair(RunState& rs, HeatHistory& h, HesseWork& w, const PointResult& pt) {
  const Minimum& s = pt.state;
  HesseCalc(rs, s.p, rs.n0, w.hes);
  HesseInv(w.hes, w.inv, rs.n0, w.indx);
  if (s.f == kSentinel) {
    if (rs.equilibrium) NoEquilibriumState(rs, kName);
    return;
  }
  const double dU = LatentHeat(rs, h, pt);
  const double c = HeatCalc(rs, rs.n0, w.inv);
  RecordBuf r;
  PairRecord(r, rs, rs.equilibrium, pt, c, dU);
  Emit(rs, r);
  if (!rs.equilibrium) WarnIfNotEquilibrium(rs, kName, s.p, s.f);
}

// Under the equilibrium search: the records of a whole sweep from one
// equilibrium curve.  The heat capacity is that of the equilibrium state
// itself (n0 = 1 too: no second difference across a jump), and every point
// has a record.
void HeatCurve(RunState& rs, const std::vector<double>& xs, int threads,
               const std::function<void(std::size_t)>& at_point) {
  const SweepCurve sc = TrackSweep(rs, xs, threads, [&rs] { rs.ctx->Poll(); });
  const bool sweep_h = sc.var == SweepVar::kEnthalpy;
  const char* var = sweep_h ? "dH" : "T";
  const std::vector<Jump>& jumps = sc.curve.jumps;
  for (std::size_t k = 0; k < xs.size(); ++k) {
    at_point(k);
    const std::size_t i = sc.sorted[k];
    const CurvePoint& cp = sc.curve.points[i];
    if (!cp.ok) {
      rs.ctx->Warning("heat at %s = %f: no record, no feasible minimum was found", var, cp.x);
      continue;
    }
    double dU = 0.0, x_jump = 0.0;
    for (int j = sc.first_jump[i];
         j >= 0 && static_cast<std::size_t>(j) < jumps.size() &&
         static_cast<std::size_t>(jumps[j].after) + 1 == i;
         ++j) {
      const Jump& J = jumps[j];
      dU += J.latent;
      x_jump = J.x;
      rs.ctx->Diagnostic("heat: first-order transition at %s = %f (before %s = %f): latent heat "
                         "dU = %f",
                         var, J.x, var, cp.x, J.latent);
    }
    // The heat capacity cannot be formed where the Hessian of the state is
    // not positive definite to rounding: an almost pure state at the edge of
    // the region (whose fractions have lost their digits; its heat capacity
    // is nearly that of the fixed state, 0 for the pair variants) or a
    // critical point.  0 is written, with a warning.
    const bool cp_ok = std::isfinite(cp.Cp);
    PointResult pt;
    pt.state.p = cp.p;
    pt.state.f = cp.F;
    pt.state.iter = cp.iterations;
    pt.branch = cp.branch;
    pt.minima = cp.minima;
    pt.U = cp.U;
    RecordBuf r;
    if (rs.n0 == 1) {
      MeanFieldRecord(r, rs, true, pt, cp_ok ? cp.Cp : 0.0, dU, x_jump);
    } else {
      PairRecord(r, rs, true, pt, cp_ok ? cp.Cp : 0.0, dU, x_jump);
    }
    Emit(rs, r);
    if (!cp_ok) {
      rs.ctx->Warning("heat at %s = %f: Cp written as 0: the Hessian of the equilibrium state is "
                      "not positive definite to rounding (a state at the edge of the region, or a "
                      "critical point)",
                      var, cp.x);
    }
    if (cp.unresolved) {
      rs.ctx->Warning("heat at %s = %f: the equilibrium passed between two distinct minima since "
                      "the previous point, but their crossing was not located: the latent heat "
                      "is missing from this record",
                      var, cp.x);
    }
  }
}

}  // namespace

void TaskHeat(RunState& rs, HeatHistory& history, HesseWork& work) {
  TaskHeatAfterSearch(rs, history, work, HeatSearch(rs, work));
}

PointResult HeatSearch(RunState& rs, HesseWork& work) {
  PointResult pt;
  if (!rs.equilibrium) {
    pt.state = StepOrderCont(rs);
    return pt;
  }
  const EquilibriumResult r = StepOrderEquilibrium(rs, work);
  pt.state = r.lowest;
  pt.branch = r.branch == Branch::kFluidRich ? 1 : 0;
  pt.minima = r.minima;
  pt.U = r.U;
  return pt;
}

void TaskHeatAfterSearch(RunState& rs, HeatHistory& history, HesseWork& work,
                         const PointResult& point) {
  if (rs.n0 == 1) {
    HeatMeanField(rs, history, point);
  } else {
    HeatPair(rs, history, work, point);
  }
}

namespace {

class Heat : public Task {
 public:
  explicit Heat(const RunState& rs) : work_(rs.n0) {}
  void Run(RunState& rs) override { TaskHeat(rs, history_, work_); }
  PointResult Search(RunState& rs) override { return HeatSearch(rs, work_); }
  void Finish(RunState& rs, const PointResult& pt) override {
    TaskHeatAfterSearch(rs, history_, work_, pt);
  }
  void Draws(RunState& rs) override {
    if (!rs.equilibrium) StepOrderContDraws(rs);  // the equilibrium search draws nothing
  }
  // The ligand-activity mode has no minima to follow: its points are
  // searched one by one.
  bool TakesWholeSweep(const RunState& rs) const override {
    return rs.equilibrium && !IsAltMode(rs.para);
  }
  void RunSweep(RunState& rs, const std::vector<double>& xs, int threads,
                const std::function<void(std::size_t)>& at_point) override {
    HeatCurve(rs, xs, threads, at_point);
  }

 private:
  HeatHistory history_;
  HesseWork work_;
};

RecordLayout HeatLayout(const Model& m, bool equilibrium) {
  RecordLayout l{m.n0 == 1 ? "heat-mean-field" : kName, {}, 0};
  RecordBuf r(&l.columns);
  if (m.n0 == 1) {
    MeanFieldRecord(r, m, equilibrium, PointResult{}, 0.0, 0.0);
  } else {
    PairRecord(r, m, equilibrium, PointResult{}, 0.0, 0.0);
  }
  return l;
}

}  // namespace

const TaskDef kHeatTask = {kName, false, true, HeatLayout,
                           [](const RunState& rs) -> std::unique_ptr<Task> {
                             return std::make_unique<Heat>(rs);
                           }};

}  // namespace chainmelt
