// "heat": one point of the heat-capacity curve per sweep point.
#include <cstdio>

#include "model/model.hpp"
#include "search/search.hpp"
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
    std::fprintf(rs.out_ptr, "%f %f %f ", rs.T, rs.para.z, ThetaCalc(rs, rs.p0));
    for (int i = 1; i <= rs.n0; ++i) std::fprintf(rs.out_ptr, "%f ", rs.p0[i]);
    std::fprintf(rs.out_ptr, "%f ", rs.heat / rs.T);
    std::fprintf(rs.out_ptr, "%f %i ", rs.fret0, rs.iter);
    std::fprintf(rs.out_ptr, "\n");
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
  std::fprintf(rs.out_ptr, "%f %f ", IsEnthalpySweep(rs.para) ? rs.para.dH : rs.T, c);
  for (int i = 1; i <= rs.n0; ++i) std::fprintf(rs.out_ptr, "%f ", rs.p0[i]);
  std::fprintf(rs.out_ptr, "%f %i ", rs.fret0, rs.iter);
  std::fprintf(rs.out_ptr, "\n");
}

}  // namespace

void TaskHeat(RunState& rs) {
  StepOrderCont(rs);
  if (rs.n0 == 1) {
    HeatMeanField(rs);
  } else {
    HeatPair(rs);
  }
}

}  // namespace chainmelt
