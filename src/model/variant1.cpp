// The free energy F = U - T*S of the mean-field variant: the ideal mixing
// entropy plus the ligand term, every member of the ligand sum computed once
// per point (model/ligand.hpp).
#include "model/variant1.hpp"

#include <cmath>

#include "model/ligand.hpp"
#include "model/variant_base.hpp"
#include "numeric/ran0.hpp"

namespace chainmelt {

namespace {

using ligand::LigandTable;
using ligand::Mixing;

double Value(const Model& m, const Mixing& s, LigandTable& t) {
  const Para& para = m.para;
  const double T = m.T;
  const double x = s.x;
  const double U = x * (para.dH - T * para.dS) + 0.5 * para.w * (x * x);
  const double S = -x * s.lx - s.q * s.lq + ligand::LigandSum(t);
  return U - T * S;
}

// The derivative of the ligand sum with respect to x,
//   sum over k = 0 .. nu + 1 of C(k) PowerSlope(k) ln(1 + q(k)),
// q(k) = z exp(-(N - k) eps / T).  For a whole-number nu >= -1 the first
// member is N x^nu ln(1 + q(0)) and the last -N (1 - x)^nu ln(1 + z), to the
// last bit.  Running the same members as the free energy keeps it the exact
// derivative for a fractional nu and for nu < -1 (empty sum) too.
void Grad(const Model& m, const Mixing& s, LigandTable& t, StateVec& g) {
  const Para& para = m.para;
  const double T = m.T;
  const double N = t.N();
  double lam = 0.0;
  for (double k = 0.0; k <= N && !std::isnan(lam); k += 1.0)
    lam += t.Binom(k) * ligand::PowerSlope(t, k) * t.Bind(k);
  const double a1 = (para.dH - T * para.dS) + para.w * s.x;
  const double b1 = s.lq - s.lx + lam;
  g[1] = a1 - T * b1;
}

}  // namespace

// The table of members lives in the frames of these functions alone, so that
// the pair variants do not pay for its size.
double Variant1::Free(const Model& m, const StateVec& p) {
  if (!Feasible(m, p)) return kSentinel;
  LigandTable t(m, p[1], false, 0.0);
  return Value(m, ligand::MakeMixing(p[1]), t);
}

bool Variant1::Gradient(const Model& m, const StateVec& p, StateVec& g) {
  if (!Feasible(m, p)) return false;
  LigandTable t(m, p[1], false, 0.0);
  Grad(m, ligand::MakeMixing(p[1]), t, g);
  return true;
}

bool Variant1::FreeGradient(const Model& m, const StateVec& p, StateVec& g, double& F) {
  if (!Feasible(m, p)) return false;
  LigandTable t(m, p[1], false, 0.0);
  const Mixing s = ligand::MakeMixing(p[1]);
  F = Value(m, s, t);
  Grad(m, s, t, g);
  return true;
}

void Variant1::BoxStart(const Model&, StateVec& p, std::int32_t* idum) { p[1] = 0.5 * ran0(idum); }

void Variant1::PhaseStart(const Model&, StateVec& p, double x, std::int32_t*) { p[1] = x; }

int Variant1::GridStarts(const Model&, StateVec* s) {
  int n = 0;
  for (int k = 1; k <= variant::kLine; ++k, ++n) s[n][1] = variant::Stratum(k, variant::kLine, 1.0);
  return n;
}

// The mean occupancy of a binding spot, averaged over the compositions of the
// nu + 1 chains a ligand covers.
double Variant1::Theta(const Model& m, const StateVec& p) {
  if (!Feasible(m, p)) return kSentinel;
  const Para& para = m.para;
  const double x = p[1];
  const double N = para.nu + 1.0;
  const double eps = para.dH2 - m.T * para.dS2;
  const double z = para.z;

  // Occupancy z e^(-a) / (1 + z e^(-a)) of a spot over k gel and N - k fluid
  // chains, written z / (e^a + z).  With z = 0 a spot is empty whatever its
  // Boltzmann factor, also where e^a underflows to 0 (the quotient 0 / 0).
  double theta = 0.0;
  for (double k = 0.0; k <= N && !std::isnan(theta); k += 1.0) {
    const double den = std::exp((N - k) * eps / m.T) + z;
    if (z == 0.0 && den == 0.0) continue;
    theta += ligand::LigandWeight(N, k, x) * z / den;
  }
  return theta;
}

}  // namespace chainmelt
