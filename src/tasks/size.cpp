// "size": height, position, coverage and half-width of the heat-capacity
// peak for the ligand sizes nu = -1, 0, 1, ..., 18.
#include <cmath>

#include "model/model.hpp"
#include "search/search.hpp"
#include "tasks/record.hpp"
#include "tasks/tasks.hpp"

namespace chainmelt {

namespace {

// Inner temperature sweep for the current ligand size.  The record is the
// peak part (nu, z, cmax, T, Theta, state, fret, iter), handed over when the
// peak is detected, followed by the half-height part (c1/2, T, Theta, state,
// fret, iter, dT1/2).
void SweepOneSize(RunState& rs) {
  double cmax = 0.0;
  double tpeak = 0.0;
  bool peak = false;  // the peak part of the current record has been handed over
  RecordBuf record;
  for (rs.T = rs.T_min; rs.T <= rs.T_max; rs.T = rs.T + rs.dT) {
    StepOrderCont(rs);
    if (rs.n0 != 1) continue;
    rs.hilfe = -((rs.T - 2.0 * rs.dT) * (rs.T - 2.0 * rs.dT) / (rs.dT * rs.dT)) *
               (rs.alt1 + rs.alt3 - 2.0 * rs.alt2);
    rs.heat = -((rs.T - rs.dT) * (rs.T - rs.dT) / (rs.dT * rs.dT)) *
              (rs.fret0 + rs.alt2 - 2.0 * rs.alt1);
    // From the fourth point on all three stored free energies belong to this nu.
    if (rs.T >= rs.T_min + 3.0 * rs.dT) {
      if (rs.hilfe > rs.heat && !peak) {
        record.Add(rs.para.nu)
            .Add(rs.para.z)
            .Add(rs.hilfe)
            .Add(rs.T)
            .Add(ThetaCalc(rs, rs.p0) * (rs.para.nu + 1.0))
            .AddState(rs.p0, rs.n0)
            .Add(rs.fret0)
            .Add(rs.iter);
        rs.ctx->Partial(record.data(), record.size());
        cmax = rs.hilfe;
        tpeak = rs.T;
        peak = true;
      }
      // Half height is only looked for on the falling flank of a recorded peak.
      if (peak && 0.5 * cmax > rs.heat) {
        record.Add(rs.heat)
            .Add(rs.T)
            .Add(ThetaCalc(rs, rs.p0) * (rs.para.nu + 1.0))
            .AddState(rs.p0, rs.n0)
            .Add(rs.fret0)
            .Add(rs.iter)
            .Add(2.0 * (rs.T - tpeak));
        Emit(rs, record);
        return;
      }
    }
    rs.alt3 = rs.alt2;
    rs.alt2 = rs.alt1;
    rs.alt1 = rs.fret0;
  }
  // The sweep ran out before half height: the record ends after its peak
  // part, so that the next ligand size starts a record of its own.
  if (peak) rs.ctx->Truncated(record.data(), record.size());
}

}  // namespace

// The heat value h = -(T - dT)^2 / dT^2 * (second difference of F) divides
// the rounding scatter of the minimised free energies (about kFreeNoise of
// their magnitude) by dT^2.  Relative to the energy scale it stays below
// kHeatNoise only for dT >= T * sqrt(4 kFreeNoise / kHeatNoise); below that
// step rounding noise can pass for a peak.
constexpr double kFreeNoise = 2.5e-14;
constexpr double kHeatNoise = 1e-3;

void TaskSize(RunState& rs) {
  const double smallest = rs.T_max * std::sqrt(4.0 * kFreeNoise / kHeatNoise);
  if (rs.n0 == 1 && rs.dT < smallest) {
    rs.ctx->Warning("size: dT = %g is below %g, the step at which the heat values rise above the "
                    "rounding noise of the minimised free energies; peaks and widths may be noise",
                    rs.dT, smallest);
  }
  for (rs.para.nu = -1.0; rs.para.nu <= 18.0; rs.para.nu = rs.para.nu + 1.0) {
    rs.para.zsave = rs.para.z;
    if (rs.para.nu == -1.0) {
      rs.para.z = 0.0;
    } else {
      rs.para.z = std::pow(rs.para.zsave, rs.para.nu + 1.0);
    }
    rs.ctx->Progress("para.nu = %f Task: %s", rs.para.nu, rs.task.c_str());
    SweepOneSize(rs);
    rs.para.z = rs.para.zsave;
    rs.para.zsave = 0.0;
  }
}

}  // namespace chainmelt
