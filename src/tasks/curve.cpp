#include "tasks/curve.hpp"

#include <algorithm>
#include <numeric>
#include <string>

#include "numeric/fatal.hpp"

namespace chainmelt {

SweepCurve TrackSweep(const Model& model, const std::vector<double>& xs, int threads,
                      const std::function<void()>& poll) {
  if (xs.size() > kMaxCurvePoints) {
    vornerror("a sweep of " + std::to_string(xs.size()) +
              " points is too long for one equilibrium curve (at most " +
              std::to_string(kMaxCurvePoints) + "); split it into several runs");
  }
  SweepCurve out;
  out.var = IsEnthalpySweep(model.para) ? SweepVar::kEnthalpy : SweepVar::kTemperature;
  // Sorted by value, equal values in their given order.
  std::vector<std::size_t> by_value(xs.size());
  std::iota(by_value.begin(), by_value.end(), std::size_t{0});
  std::stable_sort(by_value.begin(), by_value.end(),
                   [&xs](std::size_t a, std::size_t b) { return xs[a] < xs[b]; });
  std::vector<double> values(xs.size());
  out.sorted.assign(xs.size(), 0);
  for (std::size_t i = 0; i < by_value.size(); ++i) {
    values[i] = xs[by_value[i]];
    out.sorted[by_value[i]] = i;
  }
  ContinuationOptions options;
  options.var = out.var;
  options.threads = std::max(1, threads);
  options.poll = poll;
  out.curve = TrackCurve(model, values, options);
  out.first_jump.assign(xs.size(), -1);
  const std::vector<Jump>& jumps = out.curve.jumps;
  for (std::size_t j = jumps.size(); j-- > 0;) {
    const std::size_t i = static_cast<std::size_t>(jumps[j].after) + 1;
    if (i < out.first_jump.size()) out.first_jump[i] = static_cast<int>(j);
  }
  return out;
}

}  // namespace chainmelt
