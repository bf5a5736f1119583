#include "search/branches.hpp"

#include <limits>

#include "search/continuation_detail.hpp"

namespace chainmelt {

using namespace cont;

namespace {

// Follows the minimum p (free energy F at x0) through xs[first], xs[first +
// step], ... while it exists, storing its F and U there.
void Follow(const Model& model, const std::vector<double>& xs, SweepVar var, double x0,
            StateVec p, double F, int first, int step, std::vector<double>& Fs,
            std::vector<double>& Us, Work& w, const std::function<void()>& poll) {
  const int n = static_cast<int>(xs.size());
  int since_poll = 0;
  for (int i = first; i >= 0 && i < n; i += step) {
    if (poll && ++since_poll == 64) {
      since_poll = 0;
      poll();
    }
    int steps = 0;
    if (!Continue(model, var, x0, xs[i], p, F, steps, w)) return;
    Model m = model;
    SetSweep(m, var, xs[i]);
    Fs[i] = F;
    Us[i] = Energy(m, p);
    x0 = xs[i];
  }
}

}  // namespace

std::vector<JumpMinima> FollowJumpMinima(const Model& model, const std::vector<double>& xs,
                                         SweepVar var, const Curve& curve,
                                         const std::function<void()>& poll) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  std::vector<JumpMinima> out;
  out.reserve(curve.jumps.size());
  Work w;
  for (const Jump& j : curve.jumps) {
    if (poll) poll();
    JumpMinima jm;
    jm.jump = j;
    jm.F_from.assign(xs.size(), kNaN);
    jm.U_from.assign(xs.size(), kNaN);
    jm.F_to.assign(xs.size(), kNaN);
    jm.U_to.assign(xs.size(), kNaN);
    for (const int step : {+1, -1}) {
      const int first = step > 0 ? j.after + 1 : j.after;
      Follow(model, xs, var, j.x, j.p_from, j.F, first, step, jm.F_from, jm.U_from, w, poll);
      Follow(model, xs, var, j.x, j.p_to, j.F, first, step, jm.F_to, jm.U_to, w, poll);
    }
    out.push_back(std::move(jm));
  }
  return out;
}

}  // namespace chainmelt
