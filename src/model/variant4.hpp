// n0 = 4: a lipid and a second component at the fixed fraction conc.  State:
// p1 = x(f), p2 = y(f,f), p3 = y(f,s), p4 = y(s,s).
#pragma once

#include <cstdint>

#include "model/params.hpp"
#include "model/variant_base.hpp"
#include "numeric/arrays.hpp"

namespace chainmelt {

struct Variant4 {
  static constexpr int kVars = 4;
  // A closed-form Hessian of the free energy (Newton steps, heat capacities).
  static constexpr bool kHessian = true;
  static constexpr const char* kNames[] = {"x_f", "y_ff", "y_fs", "y_ss"};

  // x(g), y(f,g), y(s,g), y(g,g) with the fixed fraction conc.
  struct Fractions {
    double xg, fg, sg, gg;
  };
  static Fractions Dependent(const StateVec& p, double conc) {
    return {1.0 - p[1] - conc, p[1] - p[2] - p[3], conc - p[3] - p[4],
            1.0 - 2.0 * p[1] - 2.0 * conc + p[2] + 2.0 * p[3] + p[4]};
  }
  static bool Inside(const StateVec& p, const Fractions& d) {
    return p[1] > 0.0 && p[2] > 0.0 && p[3] > 0.0 && p[4] > 0.0 && d.xg > 0.0 && d.gg > 0.0 &&
           d.fg > 0.0 && d.sg > 0.0;
  }
  static bool Feasible(const Model& m, const StateVec& p) {
    return Inside(p, Dependent(p, m.para.conc));
  }

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
    switch (kind) {
      case StartKind::kBox:
        return "choose {conc} with 0 < conc < 1";
      case StartKind::kGelRich:
        return "choose {conc} with 0 < conc < 0.8";
      case StartKind::kFluidRich:
        return "choose {conc} with 0 < conc < 0.8";
    }
    return nullptr;
  }
  static bool AlmostPure(const Model& m, double fluid, double minor, StateVec& p);
  // dF/d(dH) at a fixed state: the fluid chains per site.
  static double FluidChains(const Model&, const StateVec& p) { return p[1]; }
  static double FluidShare(const Model& m, const StateVec& p) {
    return p[1] / (1.0 - m.para.conc);
  }
};

}  // namespace chainmelt
