// "heat": one point of the heat-capacity curve per sweep point.
#include "model/model.hpp"
#include "search/search.hpp"
#include "tasks/record.hpp"
#include "tasks/tasks.hpp"

namespace chainmelt {

namespace {

// n0 = 1: second difference of the minimised free energy over the last three
// sweep points, centred on the previous one.
void HeatMeanField(RunState& rs) {
  rs.heat = -((rs.T - rs.dT) * (rs.T - rs.dT) / (rs.dT * rs.dT)) *
            (rs.fret0 + rs.alt2 - 2.0 * rs.alt1);
  // The first two points only fill the history.
  if (rs.T >= rs.T_min + 2.0 * rs.dT) {
    Emit(rs, RecordBuf()
                  .Add(rs.T)
                  .Add(rs.para.z)
                  .Add(ThetaCalc(rs, rs.p0))
                  .AddState(rs.p0, rs.n0)
                  .Add(rs.heat / rs.T)
                  .Add(rs.fret0)
                  .Add(rs.iter));
  }
  rs.alt2 = rs.alt1;
  rs.alt1 = rs.fret0;
}

// Pair variants: heat capacity from the inverse Hessian at the minimum.
void HeatPair(RunState& rs) {
  HesseCalc(rs, rs.p0, rs.n0, rs.hes);
  HesseInv(rs.hes, rs.inv, rs.n0, rs.indx);
  if (rs.fret0 == kSentinel) return;
  const double c = HeatCalc(rs, rs.n0, rs.inv);
  Emit(rs, RecordBuf()
                .Add(IsEnthalpySweep(rs.para) ? rs.para.dH : rs.T)
                .Add(c)
                .AddState(rs.p0, rs.n0)
                .Add(rs.fret0)
                .Add(rs.iter));
  WarnIfNotEquilibrium(rs, "heat");
}

}  // namespace

void TaskHeat(RunState& rs) {
  StepOrderCont(rs);
  TaskHeatAfterSearch(rs);
}

void TaskHeatAfterSearch(RunState& rs) {
  if (rs.n0 == 1) {
    HeatMeanField(rs);
  } else {
    HeatPair(rs);
  }
}

}  // namespace chainmelt
