// "heat": one point of the heat-capacity curve per sweep point.
#include "model/model.hpp"
#include "search/equilibrium.hpp"
#include "search/search.hpp"
#include "tasks/record.hpp"
#include "tasks/tasks.hpp"

namespace chainmelt {

namespace {

// With the equilibrium search every record ends with U, the branch and the
// latent heat dU: where the equilibrium switches between two distinct
// minima from the previous point to this one (a first-order transition),
// dU is the jump of U, reported once, here and on the diagnostics stream.
void AddEquilibrium(RunState& rs, RecordBuf& r, double dU) {
  if (!rs.equilibrium) return;
  r.Add(rs.U).Add(rs.branch).Add(dU);
}

double LatentHeat(RunState& rs) {
  double dU = 0.0;
  if (rs.equilibrium && rs.have_prev && rs.branch != rs.branch_prev &&
      (rs.minima >= 2 || rs.minima_prev >= 2)) {
    dU = rs.U - rs.U_prev;
    const bool h = IsEnthalpySweep(rs.para);
    rs.ctx->Diagnostic("heat: first-order transition before %s = %f: latent heat dU = %f",
                       h ? "dH" : "T", h ? rs.para.dH : rs.T, dU);
  }
  rs.have_prev = true;
  rs.branch_prev = rs.branch;
  rs.minima_prev = rs.minima;
  rs.U_prev = rs.U;
  return dU;
}

// n0 = 1: second difference of the minimised free energy over the last three
// sweep points, centred on the previous one.
void HeatMeanField(RunState& rs) {
  const double dU = LatentHeat(rs);
  rs.heat = -((rs.T - rs.dT) * (rs.T - rs.dT) / (rs.dT * rs.dT)) *
            (rs.fret0 + rs.alt2 - 2.0 * rs.alt1);
  // The first two points only fill the history.
  if (rs.T >= rs.T_min + 2.0 * rs.dT) {
    RecordBuf r;
    r.Add(rs.T).Add(rs.para.z).Add(ThetaCalc(rs, rs.p0)).AddState(rs.p0, rs.n0);
    r.Add(rs.heat / rs.T).Add(rs.fret0).Add(rs.iter);
    AddEquilibrium(rs, r, dU);
    Emit(rs, r);
  }
  rs.alt2 = rs.alt1;
  rs.alt1 = rs.fret0;
}

// Pair variants: heat capacity from the inverse Hessian at the minimum.
void HeatPair(RunState& rs) {
  HesseCalc(rs, rs.p0, rs.n0, rs.hes);
  HesseInv(rs.hes, rs.inv, rs.n0, rs.indx);
  if (rs.fret0 == kSentinel) return;
  const double dU = LatentHeat(rs);
  const double c = HeatCalc(rs, rs.n0, rs.inv);
  RecordBuf r;
  r.Add(IsEnthalpySweep(rs.para) ? rs.para.dH : rs.T).Add(c).AddState(rs.p0, rs.n0);
  r.Add(rs.fret0).Add(rs.iter);
  AddEquilibrium(rs, r, dU);
  Emit(rs, r);
  if (!rs.equilibrium) WarnIfNotEquilibrium(rs, "heat");
}

}  // namespace

void TaskHeat(RunState& rs) {
  HeatSearch(rs);
  TaskHeatAfterSearch(rs);
}

void HeatSearch(RunState& rs) {
  if (rs.equilibrium) {
    NoteEquilibrium(rs, StepOrderEquilibrium(rs));
  } else {
    StepOrderCont(rs);
  }
}

void TaskHeatAfterSearch(RunState& rs) {
  if (rs.n0 == 1) {
    HeatMeanField(rs);
  } else {
    HeatPair(rs);
  }
}

}  // namespace chainmelt
