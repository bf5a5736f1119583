// n0 = 5: a lipid and a second component whose fraction is a variable.
// State: p1 = x(f), p2 = x(s), p3 = y(f,f), p4 = y(f,s), p5 = y(s,s).
#pragma once

#include <cstdint>

#include "model/params.hpp"
#include "model/variant_base.hpp"
#include "numeric/arrays.hpp"

namespace chainmelt {

struct Variant5 {
  static constexpr int kVars = 5;
  // A closed-form Hessian of the free energy (Newton steps, heat capacities).
  static constexpr bool kHessian = true;
  static constexpr const char* kNames[] = {"x_f", "x_s", "y_ff", "y_fs", "y_ss"};

  // x(g), y(f,g), y(s,g), y(g,g); p2 is the fraction of the component.
  struct Fractions {
    double xg, fg, sg, gg;
  };
  static Fractions Dependent(const StateVec& p) {
    return {1.0 - p[1] - p[2], p[1] - p[3] - p[4], p[2] - p[4] - p[5],
            1.0 - 2.0 * p[1] - 2.0 * p[2] + p[3] + 2.0 * p[4] + p[5]};
  }
  static bool Inside(const StateVec& p, const Fractions& d) {
    return p[1] > 0.0 && p[2] > 0.0 && p[3] > 0.0 && p[4] > 0.0 && p[5] > 0.0 && d.xg > 0.0 &&
           d.gg > 0.0 && d.fg > 0.0 && d.sg > 0.0;
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
    return kind == StartKind::kFluidRich ? "choose {conc} with 0.2 < conc < 0.8, not close to 0.2" : nullptr;
  }
  static bool AlmostPure(const Model& m, double fluid, double minor, StateVec& p);
  // dF/d(dH) at a fixed state: the fluid chains per site.
  static double FluidChains(const Model&, const StateVec& p) { return p[1]; }
  static double FluidShare(const Model&, const StateVec& p) { return p[1] / (1.0 - p[2]); }
};

}  // namespace chainmelt
