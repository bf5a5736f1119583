// The equilibrium curve of a whole sweep for the phase and heat tasks under the
// equilibrium search: one call of the continuation engine along the sorted
// sweep values, read back in the order the values were given.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "model/params.hpp"
#include "search/continuation.hpp"

namespace chainmelt {

struct SweepCurve {
  Curve curve;                     // along the sorted values
  std::vector<std::size_t> sorted; // sorted[k]: index in `curve` of the k-th given value
  // first_jump[i]: the first jump of curve.jumps just before sorted point i
  // (between i - 1 and i), or -1; the jumps before i are first_jump[i], ...
  // while their `after` is i - 1.
  std::vector<int> first_jump;
  SweepVar var = SweepVar::kTemperature;
};

// Most points of one curve: the engine holds the whole curve in memory
// (about a kilobyte per point).
inline constexpr std::size_t kMaxCurvePoints = std::size_t{1} << 22;

// The curve of `model` over xs (any order; the swept quantity is dH where the
// model's sweep selector says so), with the engine on `threads` threads.
// Throws FatalError for more than kMaxCurvePoints values.
// `poll` is called on the calling thread between units of the engine's work
// and may throw to end the curve.
SweepCurve TrackSweep(const Model& model, const std::vector<double>& xs, int threads,
                      const std::function<void()>& poll = {});

}  // namespace chainmelt
