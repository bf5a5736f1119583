// n0 = 2: one lipid in the pair approximation.  State: p1 = x(f), the fluid
// fraction; p2 = y(f,f), the probability of a fluid-fluid pair.
#pragma once

#include <cstdint>

#include "model/params.hpp"
#include "numeric/arrays.hpp"

namespace chainmelt {

struct Variant2 {
  static constexpr int kVars = 2;
  static constexpr const char* kNames[] = {"x_f", "y_ff"};

  // The dependent pair probabilities y(f,g) and y(g,g).
  struct Fractions {
    double fg, gg;
  };
  static Fractions Dependent(const StateVec& p) { return {p[1] - p[2], 1.0 - 2.0 * p[1] + p[2]}; }
  // p1 > 0 and 1 - p1 > 0 follow from these three.
  static bool Inside(const StateVec& p, const Fractions& d) {
    return p[2] > 0.0 && d.fg > 0.0 && d.gg > 0.0;
  }
  static bool Feasible(const Model&, const StateVec& p) { return Inside(p, Dependent(p)); }

  static double Free(const Model& m, const StateVec& p);
  static bool Gradient(const Model& m, const StateVec& p, StateVec& g);
  static bool FreeGradient(const Model& m, const StateVec& p, StateVec& g, double& F);
  static bool Hessian(const Model& m, const StateVec& p, Matrix& h);
  static double Heat(const Model& m, const Matrix& inv);

  static void BoxStart(const Model& m, StateVec& p, std::int32_t* idum);
  static void PhaseStart(const Model& m, StateVec& p, double x, std::int32_t* idum);
  static int GridStarts(const Model& m, StateVec* s);
  static bool AlmostPure(const Model& m, double fluid, double minor, StateVec& p);
  static double FluidShare(const Model&, const StateVec& p) { return p[1]; }
};

}  // namespace chainmelt
