// "crit": downhill-simplex search of the (dH, T) plane for the point where
// the scaled Hessian determinant at the equilibrium state is smallest.
#include <limits>
#include <string>
#include <memory>

#include "model/model.hpp"
#include "numeric/amoeba.hpp"
#include "search/continuation.hpp"
#include "search/equilibrium.hpp"
#include "search/search.hpp"
#include "tasks/record.hpp"
#include "tasks/registry.hpp"
#include "tasks/tasks.hpp"
#include "tasks/names.hpp"

namespace chainmelt {

namespace {

constexpr const char* kName = kTaskCrit;
constexpr double kCritConc = 0.01;   // composition the search works at
constexpr double kCritStep = 100.0;  // initial simplex step in dH and in T
constexpr double kCritFtol = 0.1;    // fractional tolerance on the determinant

// The objective of the simplex: the determinant at (dH, T), or +infinity at
// T <= 0, which is outside the model (the simplex then turns back).
double Objective(RunState& rs, HesseWork& work, const Vector& x) {
  if (!(x[2] > 0.0)) return std::numeric_limits<double>::infinity();
  return StepDet(rs, work, x);
}

// The determinant of the Hessian (energy per unit fraction squared), every
// diagonal factor divided by 10^n0.
std::string DetUnit(int n0) {
  return "energy^" + std::to_string(n0) + "/1e" + std::to_string(n0 * n0);
}

// A critical-point record at the current point; the equilibrium search adds
// how far the tolerance was met (the relative width of the final interval
// of T).  det_unit is needed only by a naming buffer.
void CritRecord(RecordBuf& r, const Model& m, double det, const Minimum& s, bool equilibrium,
                double rel_width, const std::string& det_unit = "") {
  r.Add("T", kUnitTemperature, m.T).Add("dH", kUnitEnergy, m.para.dH);
  r.Add("conc", kUnitOne, m.para.conc).Add("det", det_unit, det);
  r.State(m, s.p).Add("F", kUnitEnergy, s.f).Int("iter", s.iter);
  if (equilibrium) r.Add("rel_width", kUnitOne, rel_width);
}

// The opt-in search: the end of the coexistence line, followed in
// temperature with the coexistence search on the continuation; the record
// holds the equilibrium state at the critical point and the scaled Hessian
// determinant there.
void CritByCoexistence(RunState& rs, HesseWork& work) {
  const TrackedCrit o = CritTracked(rs);
  if (!o.found) {
    const CritStatus why = o.bad_start          ? CritStatus::kBadStart
                           : o.coexist_at_start ? CritStatus::kNoEnd
                                                : CritStatus::kNoCoexistence;
    rs.ctx->Diagnostic("crit: no record, %s", CritReason(why));
    return;
  }
  rs.T = o.T;
  rs.para.dH = o.dH;
  const Minimum state = StepOrderEquilibrium(rs, work).lowest;
  if (state.f == kSentinel) {
    rs.ctx->Diagnostic("crit: no record, no feasible minimum at the critical point");
    return;
  }
  double det = std::numeric_limits<double>::quiet_NaN();
  if (HasHessian(rs)) {
    HesseCalc(rs, state.p, rs.n0, work.hes);
    DetCalc(rs.n0, work.hes, work.indx, det);
  }
  RecordBuf r;
  CritRecord(r, rs, det, state, true, (o.T_above - o.T_below) / o.T);
  Emit(rs, r);
}

}  // namespace

void TaskCrit(RunState& rs, HesseWork& work, Vector& pp) {
  rs.para.conc = kCritConc;
  if (rs.equilibrium) return CritByCoexistence(rs, work);
  do {
    pp[1] = rs.para.dH;
    pp[2] = rs.T;
    StepDet(rs, work, pp);

    Matrix p(1, 3, 1, 2);
    Vector y(1, 3);
    p[1][1] = rs.para.dH;
    p[1][2] = rs.T;
    p[2][1] = rs.para.dH + kCritStep;
    p[2][2] = rs.T;
    p[3][1] = rs.para.dH;
    p[3][2] = rs.T + kCritStep;
    Vector x(1, 2);
    for (int i = 1; i <= 3; ++i) {
      x[1] = p[i][1];
      x[2] = p[i][2];
      y[i] = Objective(rs, work, x);
    }

    int nfunc = 0;
    amoeba(
        p, y, 2, kCritFtol, [&rs, &work](const Vector& v) { return Objective(rs, work, v); },
        &nfunc, *rs.ctx);
    rs.ctx->Progress("hier taskcrit %f", y[1]);

    x[1] = p[1][1];
    x[2] = p[1][2];
    if (!(x[2] > 0.0)) {
      rs.ctx->Diagnostic("crit: no record, the best vertex (dH = %f, T = %f) lies at T <= 0", x[1],
                         x[2]);
      return;
    }
    Minimum at;
    const double det = StepDet(rs, work, x, &at);
    rs.para.dH = p[1][1];
    rs.T = p[1][2];
    if (at.f != kSentinel) {
      RecordBuf r;
      CritRecord(r, rs, det, at, false, 0.0);
      Emit(rs, r);
    }
    rs.para.conc = rs.para.conc + 0.01;
  } while (rs.para.conc <= kCritConc);
}

namespace {

class Crit : public Task {
 public:
  explicit Crit(const RunState& rs) : work_(rs.n0), pp_(1, 2) {}
  void Run(RunState& rs) override { TaskCrit(rs, work_, pp_); }

 private:
  HesseWork work_;
  Vector pp_;
};

RecordLayout CritLayout(const Model& m, bool equilibrium) {
  RecordLayout l{kName, {}, 0};
  RecordBuf r(&l.columns);
  CritRecord(r, m, 0.0, Minimum{}, equilibrium, 0.0, DetUnit(m.n0));
  return l;
}

}  // namespace

// Runs once: each evaluation of the simplex depends on the previous ones.
const TaskDef kCritTask = {kName, true, false, CritLayout,
                           [](const RunState& rs) -> std::unique_ptr<Task> {
                             return std::make_unique<Crit>(rs);
                           }};

}  // namespace chainmelt
