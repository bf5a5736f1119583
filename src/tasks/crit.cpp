// "crit": downhill-simplex search of the (dH, T) plane for the point where
// the scaled Hessian determinant at the equilibrium state is smallest.
#include <limits>

#include "model/model.hpp"
#include "numeric/amoeba.hpp"
#include "search/equilibrium.hpp"
#include "search/search.hpp"
#include "tasks/record.hpp"
#include "tasks/tasks.hpp"

namespace chainmelt {

namespace {

constexpr double kCritConc = 0.01;   // composition the search works at
constexpr double kCritStep = 100.0;  // initial simplex step in dH and in T
constexpr double kCritFtol = 0.1;    // fractional tolerance on the determinant

// The objective of the simplex: the determinant at (dH, T), or +infinity at
// T <= 0, which is outside the model (the simplex then turns back).
double Objective(RunState& rs, const Vector& x) {
  if (!(x[2] > 0.0)) return std::numeric_limits<double>::infinity();
  return StepDet(rs, x);
}

// The fields of a critical-point record, at the current point.
RecordBuf CritRecord(const RunState& rs) {
  RecordBuf r;
  r.Add(rs.T).Add(rs.para.dH).Add(rs.para.conc).Add(rs.det).AddState(rs.p0, rs.n0).Add(rs.fret0)
      .Add(rs.iter);
  return r;
}

// The opt-in search: the end of the coexistence line, followed in
// temperature with the robust coexistence search.  The record also says how
// far the tolerance was met (the relative width of the final interval).
void CritByCoexistence(RunState& rs) {
  const CritOutcome o = CritRobust(rs);
  if (!o.found) {
    rs.ctx->Diagnostic("crit: no record, %s", CritReason(o.status));
    return;
  }
  Emit(rs, CritRecord(rs).Add(o.rel_width));
}

}  // namespace

void TaskCrit(RunState& rs) {
  rs.para.conc = kCritConc;
  if (rs.equilibrium) return CritByCoexistence(rs);
  do {
    rs.pp[1] = rs.para.dH;
    rs.pp[2] = rs.T;
    rs.det = StepDet(rs, rs.pp);

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
      y[i] = Objective(rs, x);
    }

    int nfunc = 0;
    amoeba(p, y, 2, kCritFtol, [&rs](const Vector& v) { return Objective(rs, v); }, &nfunc,
           *rs.ctx);
    rs.ctx->Progress("hier taskcrit %f", y[1]);

    x[1] = p[1][1];
    x[2] = p[1][2];
    if (!(x[2] > 0.0)) {
      rs.ctx->Diagnostic("crit: no record, the best vertex (dH = %f, T = %f) lies at T <= 0", x[1],
                         x[2]);
      return;
    }
    rs.det = StepDet(rs, x);
    rs.para.dH = p[1][1];
    rs.T = p[1][2];
    if (rs.fret0 != kSentinel) {
      Emit(rs, CritRecord(rs));
    }
    rs.para.conc = rs.para.conc + 0.01;
  } while (rs.para.conc <= kCritConc);
}

}  // namespace chainmelt
