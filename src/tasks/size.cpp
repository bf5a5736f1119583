// "size": height, position, coverage and half-width of the heat-capacity
// peak for the ligand sizes nu = -1, 0, 1, ..., 18.
#include <cmath>
#include <cstdio>

#include "model/model.hpp"
#include "search/search.hpp"
#include "tasks/tasks.hpp"

namespace chainmelt {

namespace {

// Follows every completed data line; names its columns.
constexpr char kSizeHeader[] =
    "# nu, z, cmax, T, Theta, p, fret, iter, c1/2, T, Theta, p, fret, iter, dT1/2 \n";
static_assert(sizeof(kSizeHeader) - 1 == 78, "the header line is 78 bytes");

// State, free energy and iteration count of the current point.
void WriteState(const RunState& rs) {
  for (int i = 1; i <= rs.n0; ++i) std::fprintf(rs.out_ptr, "%f ", rs.p0[i]);
  std::fprintf(rs.out_ptr, "%f %i ", rs.fret0, rs.iter);
}

// Inner temperature sweep for the current ligand size.
void SweepOneSize(RunState& rs) {
  double cmax = 0.0;
  double tpeak = 0.0;
  bool peak = false;  // a peak record has been written on the current line
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
        std::fprintf(rs.out_ptr, "%f %f %f %f %f ", rs.para.nu, rs.para.z, rs.hilfe, rs.T,
                     ThetaCalc(rs, rs.p0) * (rs.para.nu + 1.0));
        WriteState(rs);
        cmax = rs.hilfe;
        tpeak = rs.T;
        peak = true;
      }
      // Half height is only looked for on the falling flank of a recorded peak.
      if (peak && 0.5 * cmax > rs.heat) {
        std::fprintf(rs.out_ptr, "%f %f %f ", rs.heat, rs.T,
                     ThetaCalc(rs, rs.p0) * (rs.para.nu + 1.0));
        WriteState(rs);
        std::fprintf(rs.out_ptr, "%f \n", 2.0 * (rs.T - tpeak));
        std::fwrite(kSizeHeader, 1, sizeof(kSizeHeader) - 1, rs.out_ptr);
        return;
      }
    }
    rs.alt3 = rs.alt2;
    rs.alt2 = rs.alt1;
    rs.alt1 = rs.fret0;
  }
  // The sweep ran out before half height: end the peak record's line so that
  // the next ligand size starts a line of its own.
  if (peak) std::fprintf(rs.out_ptr, "\n");
}

}  // namespace

void TaskSize(RunState& rs) {
  for (rs.para.nu = -1.0; rs.para.nu <= 18.0; rs.para.nu = rs.para.nu + 1.0) {
    rs.para.zsave = rs.para.z;
    if (rs.para.nu == -1.0) {
      rs.para.z = 0.0;
    } else {
      rs.para.z = std::pow(rs.para.zsave, rs.para.nu + 1.0);
    }
    std::fprintf(rs.con, "para.nu = %f Task: %s\n", rs.para.nu, rs.task.c_str());
    SweepOneSize(rs);
    rs.para.z = rs.para.zsave;
    rs.para.zsave = 0.0;
  }
}

}  // namespace chainmelt
