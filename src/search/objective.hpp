// The free energy of the current model as an objective of the minimisers:
// value, gradient, and both together at one point.
#pragma once

#include <limits>

#include "model/free_grad.hpp"
#include "model/model.hpp"

namespace chainmelt {

class FreeEnergyObjective {
 public:
  static constexpr bool kDeterministic = true;
  explicit FreeEnergyObjective(const Model& m) : m_(m) {}
  double Evaluate(const StateVec& p) const { return FreeCalc(m_, p); }
  void Gradient(const StateVec& p, StateVec& g) const { DerCalc(m_, p, g); }
  double EvaluateWithGradient(const StateVec& p, StateVec& g) const {
    return FreeDerCalc(m_, p, g);
  }

 private:
  const Model& m_;
};

// The free energy behind a wall: +infinity wherever Check rejects the state
// (where the free energy itself is the sentinel), with the same gradient.
class WalledFreeEnergyObjective {
 public:
  static constexpr bool kDeterministic = true;
  explicit WalledFreeEnergyObjective(const Model& m) : m_(m) {}
  double Evaluate(const StateVec& p) const { return Walled(p, FreeCalc(m_, p)); }
  void Gradient(const StateVec& p, StateVec& g) const { DerCalc(m_, p, g); }
  double EvaluateWithGradient(const StateVec& p, StateVec& g) const {
    return Walled(p, FreeDerCalc(m_, p, g));
  }

 private:
  // The free energy is the sentinel wherever Check rejects p, so Check needs
  // asking only when the value is the sentinel.
  double Walled(const StateVec& p, double f) const {
    if (f == kSentinel && !Check(m_, p, m_.n0)) return std::numeric_limits<double>::infinity();
    return f;
  }

  const Model& m_;
};

}  // namespace chainmelt
