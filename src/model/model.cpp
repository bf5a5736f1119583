// The routines of model.hpp and free_grad.hpp: thin dispatchers over the
// members of the variants (model/variants.hpp).
#include <algorithm>
#include <cmath>

#include "model/free_grad.hpp"
#include "model/model.hpp"
#include "model/variants.hpp"

namespace chainmelt {

namespace {

// The zero vector of the gradient outside the feasible region: never past
// the capacity of a state vector, whatever n0 says.
void ZeroGradient(const Model& m, StateVec& g) {
  const int n = std::min(m.n0, kMaxVars);
  for (int i = 1; i <= n; ++i) g[i] = 0.0;
}

}  // namespace

bool Check(const Model& m, const StateVec& p, int n) {
  return Dispatch(
      n, IsAltMode(m.para), [&](auto v) { return decltype(v)::Feasible(m, p); },
      [] { return false; });  // no model, no feasible state
}

void Init(const Model& m, StateVec& p, int n, std::int32_t* idum) {
  Dispatch(
      n, IsAltMode(m.para), [&](auto v) { decltype(v)::BoxStart(m, p, idum); },
      [] {});  // no model: nothing written, nothing drawn
}

void InitLipidPhase(const Model& m, StateVec& p, int n, double x, std::int32_t* idum) {
  // The phase starts know no mode: the ligand-activity mode uses those of n0 = 2.
  Dispatch(
      n, false, [&](auto v) { decltype(v)::PhaseStart(m, p, x, idum); }, [] {});
}

double fak(double x) {
  if (x == 0.0) return 1.0;
  double result = 1.0;
  double a = 1.0;
  // Beyond 170! the product is inf and stays inf; stopping there keeps a huge
  // or infinite argument from running the loop (almost) forever.
  while (a <= x && !std::isinf(result)) {
    result = result * a;
    a = a + 1.0;
  }
  return result;
}

double FreeCalc(const Model& m, const StateVec& p) {
  return Dispatch(
      m, [&](auto v) { return decltype(v)::Free(m, p); }, [] { return kSentinel; });
}

void DerCalc(const Model& m, const StateVec& p, StateVec& g) {
  const bool inside = Dispatch(
      m, [&](auto v) { return decltype(v)::Gradient(m, p, g); }, [] { return false; });
  if (!inside) ZeroGradient(m, g);
}

double FreeDerCalc(const Model& m, const StateVec& p, StateVec& g) {
  double F = kSentinel;
  const bool inside = Dispatch(
      m, [&](auto v) { return decltype(v)::FreeGradient(m, p, g, F); }, [] { return false; });
  if (!inside) ZeroGradient(m, g);
  return inside ? F : kSentinel;
}

int HesseCalc(const Model& m, const StateVec& p, int n, Matrix& h) {
  // No feasibility or mode test: the caller asks at an equilibrium state, and
  // the ligand-activity mode uses the n = 2 formulas as they stand.  A variant
  // without a Hessian leaves h as it is.
  Dispatch(
      n, false, [&](auto v) { decltype(v)::Hessian(m, p, h); }, [] {});
  return 0;
}

double HeatCalc(const Model& model, int n, const Matrix& m) {
  return Dispatch(
      n, false, [&](auto v) { return decltype(v)::Heat(model, m); }, [] { return 0.0; });
}

double ThetaCalc(const Model& m, const StateVec& p) {
  if (IsAltMode(m.para) || m.n0 != 1) return kSentinel;
  return Variant1::Theta(m, p);
}

std::vector<std::string> StateNames(int n0, bool alt_mode) {
  return Dispatch(
      n0, alt_mode,
      [](auto v) {
        using V = decltype(v);
        return std::vector<std::string>(std::begin(V::kNames), std::end(V::kNames));
      },
      [] { return std::vector<std::string>{}; });
}

double FluidShare(const Model& m, const StateVec& p) {
  return Dispatch(
      m, [&](auto v) { return decltype(v)::FluidShare(m, p); }, [&] { return p[1]; });
}

double FluidChains(const Model& m, const StateVec& p) {
  return Dispatch(
      m, [&](auto v) { return decltype(v)::FluidChains(m, p); }, [&] { return p[1]; });
}

bool HasHessian(const Model& m) {
  return Dispatch(
      m, [](auto v) { return decltype(v)::kHessian; }, [] { return false; });
}

bool AlmostPureState(const Model& m, double fluid, double minor, StateVec& p) {
  return Dispatch(
      m.n0, false, [&](auto v) { return decltype(v)::AlmostPure(m, fluid, minor, p); },
      [] { return false; });
}

int GridStarts(const Model& m, StateVec* s) {
  return Dispatch(
      m, [&](auto v) { return decltype(v)::GridStarts(m, s); }, [] { return 0; });
}

}  // namespace chainmelt
