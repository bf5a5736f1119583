// n0 = 2: one lipid in the pair approximation.  State: p1 = x(f), the fluid
// fraction; p2 = y(f,f), the probability of a fluid-fluid pair.
#pragma once

#include <cstdint>

#include "model/params.hpp"
#include "model/variant_base.hpp"
#include "numeric/arrays.hpp"

namespace chainmelt {

struct Variant2 {
  static constexpr int kVars = 2;
  // A closed-form Hessian of the free energy (Newton steps, heat capacities).
  static constexpr bool kHessian = true;
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
  // What to change when its starts of `kind` can never be feasible: the
  // fields in braces and the condition (null: nothing particular).
  static const char* StartAdvice(StartKind kind) {
    return kind == StartKind::kFluidRich ? "choose {conc} with 0.2 < conc < 0.8" : nullptr;
  }
  static bool AlmostPure(const Model& m, double fluid, double minor, StateVec& p);
  // dF/d(dH) at a fixed state: the fluid chains per site.
  static double FluidChains(const Model&, const StateVec& p) { return p[1]; }
  static double FluidShare(const Model&, const StateVec& p) { return p[1]; }
};

}  // namespace chainmelt
