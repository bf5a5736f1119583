// The ligand-activity mode of n0 = 2 (mode 42.1): p1 is the fluid fraction,
// p2 stands for -ln z, the ligand activity solved for so that the binding
// degree is conc2.  Its Hessian, heat capacity and phase starts are those of
// the n0 = 2 formulas, as they stand.
#pragma once

#include <cmath>
#include <cstdint>

#include "model/params.hpp"
#include "model/variant2.hpp"
#include "model/variant_base.hpp"
#include "numeric/arrays.hpp"

namespace chainmelt {

struct VariantAlt {
  static constexpr int kVars = 2;
  // The n0 = 2 formulas are no Hessian of this free energy: none for the
  // searches.
  static constexpr bool kHessian = false;
  static constexpr const char* kNames[] = {"x_f", "a"};  // a stands for -ln z

  // p2 may take any real value, but not NaN: a NaN state has no free energy
  // and must not reach the minimiser.
  static bool Feasible(const Model&, const StateVec& p) {
    return p[1] > 0.0 && p[1] < 1.0 && !std::isnan(p[2]);
  }

  static double Free(const Model& m, const StateVec& p);
  // Deliberately not the gradient of Free: see variant_alt.cpp.
  static bool Gradient(const Model& m, const StateVec& p, StateVec& g);
  static bool FreeGradient(const Model& m, const StateVec& p, StateVec& g, double& F);
  static bool Hessian(const Model& m, const StateVec& p, Matrix& h) {
    return Variant2::Hessian(m, p, h);
  }
  static double Heat(const Model& m, const Matrix& inv) { return Variant2::Heat(m, inv); }

  static void BoxStart(const Model& m, StateVec& p, std::int32_t* idum);
  static void PhaseStart(const Model& m, StateVec& p, double x, std::int32_t* idum) {
    Variant2::PhaseStart(m, p, x, idum);
  }
  // No minimisation in this mode: the equilibrium search scans for the zeros
  // of the gradient vector instead.
  static int GridStarts(const Model&, StateVec*) { return 0; }
  // What to change when its starts of `kind` can never be feasible: the
  // fields in braces and the condition (null: nothing particular).
  static const char* StartAdvice(StartKind kind) {
    switch (kind) {
      case StartKind::kBox:
        return "check {n0} and {mode}";
      case StartKind::kGelRich:
        return "check {n0} and {mode}";
      case StartKind::kFluidRich:
        return "choose {conc} with -0.2 < conc < 0.8";
    }
    return nullptr;
  }
  static bool AlmostPure(const Model& m, double fluid, double minor, StateVec& p) {
    return Variant2::AlmostPure(m, fluid, minor, p);
  }
  // dF/d(dH) at a fixed state: the fluid chains per site.
  static double FluidChains(const Model&, const StateVec& p) { return p[1]; }
  static double FluidShare(const Model&, const StateVec& p) { return p[1]; }
};

}  // namespace chainmelt
