// n0 = 1: the mean-field variant with ligands.  State: p1 = x(f), the fluid
// fraction.  A ligand of activity z covers nu + 1 chains; its binding enthalpy
// and entropy per fluid chain are dH2 and dS2.
#pragma once

#include <cstdint>

#include "model/params.hpp"
#include "model/variant_base.hpp"
#include "numeric/arrays.hpp"

namespace chainmelt {

struct Variant1 {
  static constexpr int kVars = 1;
  // A closed-form Hessian of the free energy (Newton steps, heat capacities).
  static constexpr bool kHessian = false;
  static constexpr const char* kNames[] = {"x_f"};

  static bool Feasible(const Model&, const StateVec& p) { return p[1] > 0.0 && 1.0 - p[1] > 0.0; }

  static double Free(const Model& m, const StateVec& p);
  static bool Gradient(const Model& m, const StateVec& p, StateVec& g);
  static bool FreeGradient(const Model& m, const StateVec& p, StateVec& g, double& F);
  // No closed-form Hessian: h keeps what it held; no heat capacity from it.
  static bool Hessian(const Model&, const StateVec&, Matrix&) { return false; }
  static double Heat(const Model&, const Matrix&) { return 0; }

  static void BoxStart(const Model& m, StateVec& p, std::int32_t* idum);
  static void PhaseStart(const Model& m, StateVec& p, double x, std::int32_t* idum);
  static int GridStarts(const Model& m, StateVec* s);
  // What to change when its starts of `kind` can never be feasible: the
  // fields in braces and the condition (null: nothing particular).
  static const char* StartAdvice(StartKind kind) {
    return kind == StartKind::kFluidRich ? "choose {conc} with -0.2 < conc < 0.8" : nullptr;
  }
  static bool AlmostPure(const Model&, double fluid, double, StateVec& p) {
    p[1] = fluid;
    return true;
  }
  // dF/d(dH) at a fixed state: the fluid chains per site.
  static double FluidChains(const Model&, const StateVec& p) { return p[1]; }
  static double FluidShare(const Model&, const StateVec& p) { return p[1]; }

  // Ligand coverage (binding degree) at p, or kSentinel outside the region.
  static double Theta(const Model& m, const StateVec& p);
};

}  // namespace chainmelt
