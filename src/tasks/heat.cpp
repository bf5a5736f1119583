// "heat": one point of the heat-capacity curve per sweep point.
#include <memory>

#include "model/model.hpp"
#include "search/equilibrium.hpp"
#include "search/search.hpp"
#include "tasks/record.hpp"
#include "tasks/registry.hpp"
#include "tasks/tasks.hpp"

namespace chainmelt {

namespace {

constexpr const char* kName = "heat";

// With the equilibrium search every record ends with U, the branch and the
// latent heat dU: where the equilibrium switches between two distinct
// minima from the previous point to this one (a first-order transition),
// dU is the jump of U, reported once, here and on the diagnostics stream.
void AddEquilibrium(RecordBuf& r, bool equilibrium, const PointResult& pt, double dU) {
  if (!equilibrium) return;
  r.Add("U", kUnitEnergy, pt.U).Int("branch", pt.branch).Add("dU", kUnitEnergy, dU);
}

// n0 = 1: T, z, theta, the state, Cp, F, iter.
void MeanFieldRecord(RecordBuf& r, const Model& m, bool equilibrium, const PointResult& pt,
                     double heat, double dU) {
  const Minimum& s = pt.state;
  r.Add("T", kUnitTemperature, m.T).Add("z", kUnitOne, m.para.z);
  r.Add("theta", kUnitOne, ThetaCalc(m, s.p)).State(m, s.p);
  r.Add("Cp", kUnitBoltzmann, heat / m.T).Add("F", kUnitEnergy, s.f).Int("iter", s.iter);
  AddEquilibrium(r, equilibrium, pt, dU);
}

// Pair variants: the sweep value, Cp, the state, F, iter.
void PairRecord(RecordBuf& r, const Model& m, bool equilibrium, const PointResult& pt, double c,
                double dU) {
  const Minimum& s = pt.state;
  if (IsEnthalpySweep(m.para)) {
    r.Add("dH", kUnitEnergy, m.para.dH);
  } else {
    r.Add("T", kUnitTemperature, m.T);
  }
  r.Add("Cp", kUnitBoltzmann, c).State(m, s.p).Add("F", kUnitEnergy, s.f).Int("iter", s.iter);
  AddEquilibrium(r, equilibrium, pt, dU);
}

double LatentHeat(RunState& rs, HeatHistory& h, const PointResult& pt) {
  double dU = 0.0;
  if (rs.equilibrium && h.have_prev && pt.branch != h.branch_prev &&
      (pt.minima >= 2 || h.minima_prev >= 2)) {
    dU = pt.U - h.U_prev;
    const bool sweep_h = IsEnthalpySweep(rs.para);
    rs.ctx->Diagnostic("heat: first-order transition before %s = %f: latent heat dU = %f",
                       sweep_h ? "dH" : "T", sweep_h ? rs.para.dH : rs.T, dU);
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
    MeanFieldRecord(r, rs, rs.equilibrium, pt, heat, dU);
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
  if (s.f == kSentinel) return;
  const double dU = LatentHeat(rs, h, pt);
  const double c = HeatCalc(rs, rs.n0, w.inv);
  RecordBuf r;
  PairRecord(r, rs, rs.equilibrium, pt, c, dU);
  Emit(rs, r);
  if (!rs.equilibrium) WarnIfNotEquilibrium(rs, kName, s.p, s.f);
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
