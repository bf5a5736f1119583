// n0 = 8: two lipid populations A and B, B at the fixed fraction conc2.
// State: p1 = x(Af), p2 = x(Bf), p3 = y(Af,Af), p4 = y(Bf,Bf), p5 = y(Ag,Bg),
// p6 = y(Bf,Ag), p7 = y(Af,Bg), p8 = y(Af,Bf).
#pragma once

#include <cstdint>

#include "model/params.hpp"
#include "model/variant_base.hpp"
#include "numeric/arrays.hpp"

namespace chainmelt {

struct Variant8 {
  static constexpr int kVars = 8;
  // A closed-form Hessian of the free energy (Newton steps, heat capacities).
  static constexpr bool kHessian = true;
  static constexpr const char* kNames[] = {"x_Af",   "x_Bf",   "y_AfAf", "y_BfBf",
                                           "y_AgBg", "y_BfAg", "y_AfBg", "y_AfBf"};

  // x(Ag), x(Bg), y(Ag,Ag), y(Af,Ag), y(Bg,Bg), y(Bf,Bg); b = conc2.
  struct Fractions {
    double xA, xB, Ga, Ha, Gb, Hb;
  };
  static Fractions Dependent(const StateVec& p, double b) {
    return {1.0 - b - p[1],
            b - p[2],
            1.0 - b - 2.0 * p[1] + p[3] + p[7] + p[8] - p[5] - p[6],
            p[1] - p[3] - p[7] - p[8],
            b - 2.0 * p[2] + p[4] + p[6] + p[8] - p[5] - p[7],
            p[2] - p[4] - p[6] - p[8]};
  }
  static bool Inside(const StateVec& p, const Fractions& d) {
    for (int i = 1; i <= 8; ++i) {
      if (!(p[i] > 0.0)) return false;
    }
    return d.xA > 0.0 && d.xB > 0.0 && d.Ga > 0.0 && d.Ha > 0.0 && d.Gb > 0.0 && d.Hb > 0.0;
  }
  static bool Feasible(const Model& m, const StateVec& p) {
    return Inside(p, Dependent(p, m.para.conc2));
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
        return "choose {conc2} with 0 < conc2 < 1";
      case StartKind::kGelRich:
        return "choose {conc2} with 0 < conc2 < 0.8";
      case StartKind::kFluidRich:
        return "choose {conc} with 0.2 + 0.4*conc2 < conc < 0.8, or a smaller {conc2}";
    }
    return nullptr;
  }
  static bool AlmostPure(const Model& m, double fluid, double minor, StateVec& p);
  // dF/d(dH) at a fixed state: the fluid chains per site.
  static double FluidChains(const Model&, const StateVec& p) { return p[1] + p[2]; }
  static double FluidShare(const Model&, const StateVec& p) { return p[1] + p[2]; }
};

}  // namespace chainmelt
