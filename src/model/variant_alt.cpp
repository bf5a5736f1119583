#include "model/variant_alt.hpp"

#include "model/ligand.hpp"
#include "numeric/ran0.hpp"

namespace chainmelt {

namespace {

using ligand::LigandTable;
using ligand::Mixing;

double Value(const Model& m, const Mixing& s, LigandTable& t, double p2) {
  const Para& para = m.para;
  const double T = m.T;
  const double x = s.x;
  const double U = x * (para.dH - T * para.dS) + 0.5 * para.w * (x * x);
  const double S = -x * s.lx - s.q * s.lq + ligand::LigandSum(t);
  return U - T * S + para.conc2 * p2;
}

// This vector is deliberately not the gradient of the free energy of this
// mode.  That free energy is concave in p2, and its true gradient would carry
// the minimiser off to infinity.  Instead g2 is conc2 minus the binding degree
// at activity exp(p2), so that a minimisation drives the binding degree to
// conc2, and the last member of the ligand slope in g1 uses ln(1 + exp(p2/T)).
// Results are computed with exactly this vector; keep it.
//
// The exponentials use the overflow-safe ln(1 + e^t) where e^t would
// overflow, so a feasible state never yields inf or NaN, even for |p2| far
// beyond what a minimisation visits.
void Grad(const Model& m, const Mixing& s, LigandTable& t, double p2, StateVec& g) {
  const Para& para = m.para;
  const double T = m.T;
  const double nu = t.nu(), N = t.N(), eps = t.eps();

  // N p1^nu ln(1 + r(0)), the members 1 <= k <= nu, -N (1 - p1)^nu ln(1 + e^(p2/T)).
  double lam = ligand::PowerSlope(t, 0.0) * t.Bind(0.0);
  for (double k = 1.0; k <= nu && !std::isnan(lam); k += 1.0)
    lam += t.Binom(k) * ligand::PowerSlope(t, k) * t.Bind(k);
  lam -= N * t.PowY(nu) * ligand::Log1pExp(p2 / T);
  g[1] = (para.dH - T * para.dS) + para.w * s.x - T * (s.lq - s.lx + lam);

  // 1 / (1 + e^t) tends to 0 as e^t overflows: no guard needed.
  double bound = 0.0;
  for (double k = 0.0; k <= N && !std::isnan(bound); k += 1.0)
    bound += t.Weight(k) / (1.0 + std::exp((N - k) * eps / T - p2));
  g[2] = para.conc2 - bound;
}

}  // namespace

double VariantAlt::Free(const Model& m, const StateVec& p) {
  if (!Feasible(m, p)) return kSentinel;
  LigandTable t(m, p[1], true, p[2]);
  return Value(m, ligand::MakeMixing(p[1]), t, p[2]);
}

bool VariantAlt::Gradient(const Model& m, const StateVec& p, StateVec& g) {
  if (!Feasible(m, p)) return false;
  LigandTable t(m, p[1], true, p[2]);
  Grad(m, ligand::MakeMixing(p[1]), t, p[2], g);
  return true;
}

bool VariantAlt::FreeGradient(const Model& m, const StateVec& p, StateVec& g, double& F) {
  if (!Feasible(m, p)) return false;
  LigandTable t(m, p[1], true, p[2]);
  const Mixing s = ligand::MakeMixing(p[1]);
  F = Value(m, s, t, p[2]);
  Grad(m, s, t, p[2], g);
  return true;
}

void VariantAlt::BoxStart(const Model&, StateVec& p, std::int32_t* idum) {
  p[1] = 0.5 * ran0(idum);
  p[2] = 0.0;
}

}  // namespace chainmelt
