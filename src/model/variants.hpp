// The variants of the lattice model and the one dispatch on n0.
//
// Each variant is one unit, a header/source pair in this folder:
//   variant1      n0 = 1, mean field with ligands of nu + 1 chains
//   variant2      n0 = 2, one lipid, pair approximation
//   variant4      n0 = 4, lipid and a second component at the fixed fraction conc
//   variant5      n0 = 5, lipid and a second component of variable fraction
//   variant8      n0 = 8, two lipid populations A and B (B at the fraction conc2)
//   variant_alt   n0 = 2 in the ligand-activity mode (mode 42.1)
// A variant is a struct of static members, the same names in each:
//   kVars, Names              number and column names of the state variables
//   Feasible(m, p)            every site fraction and pair probability > 0
//   Free / Gradient / FreeGradient(m, p, ...)
//                             value and gradient; false (or kSentinel) outside
//   Hessian(m, p, h)          closed-form Hessian (pair formulas; false if none)
//   Heat(m, inv)              heat capacity from the inverse Hessian (0 if none)
//   BoxStart, PhaseStart      the random starts of the classic searches
//   StartAdvice(kind)         what to change when those can never be feasible
//   GridStarts, AlmostPure    the fixed starts of the equilibrium search
//   FluidShare(m, p)          the fluid fraction of the lipid
//   FluidChains(m, p)         dF/d(dH) at a fixed state
//   kHessian                  whether Hessian is that of this free energy
//
// To add a variant: write its pair (copy the closest one), add a case to
// Dispatch below, and add it to IsVariant (src/run/spec.cpp) and to the
// agreement tests of tests/test_model.cpp.  The routines of model.hpp are
// thin dispatchers over these members and need no change.
#pragma once

#include <string>
#include <vector>

#include "model/params.hpp"
#include "model/variant1.hpp"
#include "model/variant2.hpp"
#include "model/variant4.hpp"
#include "model/variant5.hpp"
#include "model/variant8.hpp"
#include "model/variant_alt.hpp"

namespace chainmelt {

// Calls fn(V{}) with the variant V of n components (the ligand-activity
// variant when alt is set and n is 2), or none() where there is no such
// variant (alt set with any other n included).
template <class Fn, class None>
decltype(auto) Dispatch(int n, bool alt, Fn&& fn, None&& none) {
  if (alt) {
    if (n == 2) return fn(VariantAlt{});
    return none();
  }
  switch (n) {
    case 1: return fn(Variant1{});
    case 2: return fn(Variant2{});
    case 4: return fn(Variant4{});
    case 5: return fn(Variant5{});
    case 8: return fn(Variant8{});
    default: return none();
  }
}

// The variant of a model: n0, in the ligand-activity mode where mode says so.
template <class Fn, class None>
decltype(auto) Dispatch(const Model& m, Fn&& fn, None&& none) {
  return Dispatch(m.n0, IsAltMode(m.para), fn, none);
}

// Names of the state variables p1 ... pn0 of a variant (empty for none).
std::vector<std::string> StateNames(int n0, bool alt_mode);

// The fluid fraction of the lipid in the state p.
double FluidShare(const Model& m, const StateVec& p);
// dF/d(dH) at the fixed state p: the fluid chains per site.
double FluidChains(const Model& m, const StateVec& p);
// Whether the variant of the model has a closed-form Hessian of its free energy.
bool HasHessian(const Model& m);

// Sets p[1..n0] to the almost pure state of the variant with fluid
// fraction(s) scaled by `fluid`, the second component of n0 = 5 at `minor`,
// pair variables at random mixing.  False (p untouched) for a variant
// without such a state.
bool AlmostPureState(const Model& m, double fluid, double minor, StateVec& p);

// The fixed grid of starts of the equilibrium search (s[0..count-1]) and
// their count; kMaxGridStarts bounds it.
inline constexpr int kMaxGridStarts = 32;
int GridStarts(const Model& m, StateVec* s);

}  // namespace chainmelt
