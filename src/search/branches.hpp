// Both minima of each first-order transition of an equilibrium curve,
// followed over the whole sweep.
//
// The equilibrium curve holds, at every point, only the lowest minimum.  A
// finite cooperative domain mixes the two minima that exchange places at a
// transition with Boltzmann weights of their free energies, so it needs each
// of them on both sides of the crossing, as far as it exists (up to its
// spinodal).  Starting from the two states at the crossing, each is
// continued point by point outward by the engine's Newton continuation.
#pragma once

#include <functional>
#include <vector>

#include "model/params.hpp"
#include "search/continuation.hpp"

namespace chainmelt {

struct JumpMinima {
  Jump jump;  // the crossing, as the curve has it
  // Per point of the curve (its order): free energy and energy per site of
  // the minimum the equilibrium leaves ("from") and of the one it enters
  // ("to"); NaN where that minimum does not exist or could not be followed.
  std::vector<double> F_from, U_from, F_to, U_to;
};

// For every jump of `curve` (made by TrackCurve from `model` along xs with
// the sweep variable var): its two minima followed over xs.  `poll` is
// called between jumps and every few points; it may throw to stop.
std::vector<JumpMinima> FollowJumpMinima(const Model& model, const std::vector<double>& xs,
                                         SweepVar var, const Curve& curve,
                                         const std::function<void()>& poll = {});

}  // namespace chainmelt
