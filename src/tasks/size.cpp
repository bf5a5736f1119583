// "size": height, position, coverage and half-width of the heat-capacity
// peak for the ligand sizes nu = -1, 0, 1, ..., 18.
#include <cmath>
#include <memory>

#include "model/model.hpp"
#include "search/search.hpp"
#include "tasks/record.hpp"
#include "tasks/registry.hpp"
#include "tasks/tasks.hpp"
#include "tasks/names.hpp"

namespace chainmelt {

namespace {

constexpr const char* kName = kTaskSize;

// The peak part of a record: nu, z, the peak height h_max = T*Cp, its
// position, the coverage there, the state, F and iter.
void PeakPart(RecordBuf& r, const Model& m, double hmax, const Minimum& s) {
  r.Add("nu", kUnitOne, m.para.nu).Add("z", kUnitOne, m.para.z);
  r.Add("h_max", kUnitEnergy, hmax).Add("T_peak", kUnitTemperature, m.T);
  r.Add("coverage_peak", kUnitOne, ThetaCalc(m, s.p) * (m.para.nu + 1.0));
  r.State(m, s.p, "_peak").Add("F_peak", kUnitEnergy, s.f).Int("iter_peak", s.iter);
}

// The half-height part: h, T, coverage, state, F, iter and the half width.
void HalfPart(RecordBuf& r, const Model& m, double h, const Minimum& s, double width) {
  r.Add("h_half", kUnitEnergy, h).Add("T_half", kUnitTemperature, m.T);
  r.Add("coverage_half", kUnitOne, ThetaCalc(m, s.p) * (m.para.nu + 1.0));
  r.State(m, s.p, "_half").Add("F_half", kUnitEnergy, s.f).Int("iter_half", s.iter);
  r.Add("width", kUnitTemperature, width);
}

// Inner temperature sweep for the current ligand size.  The record is the
// peak part, handed over when the peak is detected, followed by the
// half-height part.
void SweepOneSize(RunState& rs, SizeHistory& h) {
  double cmax = 0.0;
  double tpeak = 0.0;
  bool peak = false;  // the peak part of the current record has been handed over
  RecordBuf record;
  for (rs.T = rs.T_min; rs.T <= rs.T_max; rs.T = rs.T + rs.dT) {
    const Minimum s = StepOrderCont(rs);
    if (rs.n0 != 1) continue;
    const double hilfe = -((rs.T - 2.0 * rs.dT) * (rs.T - 2.0 * rs.dT) / (rs.dT * rs.dT)) *
                         (h.alt1 + h.alt3 - 2.0 * h.alt2);
    const double heat = -((rs.T - rs.dT) * (rs.T - rs.dT) / (rs.dT * rs.dT)) *
                        (s.f + h.alt2 - 2.0 * h.alt1);
    // From the fourth point on all three stored free energies belong to this nu.
    if (rs.T >= rs.T_min + 3.0 * rs.dT) {
      if (hilfe > heat && !peak) {
        PeakPart(record, rs, hilfe, s);
        rs.ctx->Partial(record.data(), record.size());
        cmax = hilfe;
        tpeak = rs.T;
        peak = true;
      }
      // Half height is only looked for on the falling flank of a recorded peak.
      if (peak && 0.5 * cmax > heat) {
        HalfPart(record, rs, heat, s, 2.0 * (rs.T - tpeak));
        Emit(rs, record);
        return;
      }
    }
    h.alt3 = h.alt2;
    h.alt2 = h.alt1;
    h.alt1 = s.f;
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

void TaskSize(RunState& rs, SizeHistory& history) {
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
    SweepOneSize(rs, history);
    rs.para.z = rs.para.zsave;
    rs.para.zsave = 0.0;
  }
}

namespace {

class Size : public Task {
 public:
  void Run(RunState& rs) override { TaskSize(rs, history_); }

 private:
  SizeHistory history_;
};

RecordLayout SizeLayout(const Model& m, bool) {
  RecordLayout l{kName, {}, 0};
  RecordBuf r(&l.columns);
  PeakPart(r, m, 0.0, Minimum{});
  l.partial_columns = l.columns.size();
  HalfPart(r, m, 0.0, Minimum{}, 0.0);
  return l;
}

}  // namespace

// Runs once: its own sweeps over the ligand size and the temperature.
const TaskDef kSizeTask = {kName, true, false, SizeLayout,
                           [](const RunState&) -> std::unique_ptr<Task> {
                             return std::make_unique<Size>();
                           }};

}  // namespace chainmelt
