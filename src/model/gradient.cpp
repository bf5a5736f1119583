// Gradient of the free energy per site.
//
// Every component is written g_i = a_i - T*b_i: a_i from the energy (the
// fluid term dH - T*dS per chain included), b_i the derivative of the entropy.
// Outside the feasible region the gradient is the zero vector, so no
// logarithm of a non-positive number is ever taken.  Nothing is allocated.
#include <algorithm>
#include <cmath>

#include "model/model.hpp"
#include "model/terms.hpp"

namespace chainmelt {

using std::log;
using std::pow;

namespace {

// d/dx of x^(N - k) (1 - x)^k, written with nu = N - 1:
//   (N - k) x^(nu - k) (1 - x)^k - k x^(N - k) (1 - x)^(k - 1).
// A member whose coefficient is 0 contributes exactly 0, as it does wherever
// its powers are finite; for a fluid fraction so small that x^(nu - k) is inf
// the product would otherwise be 0 * inf = NaN.
double PowerSlope(double N, double k, double nu, double x) {
  const double up = N - k == 0.0 ? 0.0 : (N - k) * pow(x, nu - k) * pow(1.0 - x, k);
  const double down = k == 0.0 ? 0.0 : k * pow(x, N - k) * pow(1.0 - x, k - 1.0);
  return up - down;
}

// n0 = 1: derivative of the ligand term with respect to the fluid fraction x,
//   sum over k = 0 .. nu + 1 of C(k) [(N - k) x^(nu - k) (1 - x)^k
//                                      - k x^(N - k) (1 - x)^(k - 1)] ln(1 + q(k)),
// q(k) = z exp(-(N - k) eps / T).  For a whole-number nu >= -1 the first
// member is N x^nu ln(1 + q(0)) and the last -N (1 - x)^nu ln(1 + z), to the
// last bit.  Running the same loop as the ligand sum of the free energy keeps
// it the exact derivative for a fractional nu and for nu < -1 (empty sum) too.
double LigandSlope(const Model& m, double x) {
  const Para& para = m.para;
  const double nu = para.nu;
  const double N = nu + 1.0;
  const double eps = para.dH2 - m.T * para.dS2;
  double lam = 0.0;
  for (double k = 0.0; k <= N && !std::isnan(lam); k += 1.0) {
    lam += terms::Binom(N, k) * PowerSlope(N, k, nu, x) *
           terms::Log1pZExp(para.z, -(N - k) * eps / m.T);
  }
  return lam;
}

void Grad1(const Model& m, const StateVec& p, StateVec& g) {
  const Para& para = m.para;
  const double T = m.T;
  const double p1 = p[1];
  const double a1 = (para.dH - T * para.dS) + para.w * p1;
  const double b1 = log(1.0 - p1) - log(p1) + LigandSlope(m, p1);
  g[1] = a1 - T * b1;
}

// Ligand-activity mode (p1 fluid fraction, p2 in place of -ln z).
//
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
void GradAlt(const Model& m, const StateVec& p, StateVec& g) {
  const Para& para = m.para;
  const double T = m.T;
  const double p1 = p[1], p2 = p[2];
  const double nu = para.nu;
  const double N = nu + 1.0;
  const double eps = para.dH2 - T * para.dS2;

  // N p1^nu ln(1 + r(0)), the members 1 <= k <= nu, -N (1 - p1)^nu ln(1 + e^(p2/T)).
  double lam = PowerSlope(N, 0.0, nu, p1) * terms::Log1pExp(-N * eps / T - p2);
  for (double k = 1.0; k <= nu && !std::isnan(lam); k += 1.0) {
    lam += terms::Binom(N, k) * PowerSlope(N, k, nu, p1) *
           terms::Log1pExp(-(N - k) * eps / T - p2);
  }
  lam -= N * pow(1.0 - p1, nu) * terms::Log1pExp(p2 / T);
  g[1] = (para.dH - T * para.dS) + para.w * p1 - T * (log(1.0 - p1) - log(p1) + lam);

  // 1 / (1 + e^t) tends to 0 as e^t overflows: no guard needed.
  double bound = 0.0;
  for (double k = 0.0; k <= N && !std::isnan(bound); k += 1.0) {
    bound += terms::LigandWeight(N, k, p1) / (1.0 + std::exp((N - k) * eps / T - p2));
  }
  g[2] = para.conc2 - bound;
}

void Grad2(const Model& m, const StateVec& p, StateVec& g) {
  const Para& para = m.para;
  const double T = m.T;
  const double p1 = p[1], p2 = p[2];
  const terms::Frac2 d = terms::Fractions2(p);
  const double fg = d.fg, gg = d.gg;

  g[1] = (para.dH - T * para.dS) -
         T * (5.0 * (log(p1) - log(1.0 - p1)) - 6.0 * (log(fg) - log(gg)));
  g[2] = 3.0 * para.w - T * (6.0 * log(fg) - 3.0 * log(gg) - 3.0 * log(p2));
}

void Grad4(const Model& m, const StateVec& p, StateVec& g) {
  const Para& para = m.para;
  const double T = m.T;
  const double p1 = p[1], p2 = p[2], p3 = p[3], p4 = p[4];
  const terms::Frac4 d = terms::Fractions4(p, para.conc);
  const double xg = d.xg, fg = d.fg, sg = d.sg, gg = d.gg;

  g[1] = (para.dH - T * para.dS) -
         T * (5.0 * (log(p1) - log(xg)) - 6.0 * (log(fg) - log(gg)));
  g[2] = 3.0 * para.w - T * (6.0 * log(fg) - 3.0 * log(gg) - 3.0 * log(p2));
  g[3] = 6.0 * para.w3 -
         T * (6.0 * log(sg) + 6.0 * log(fg) - 6.0 * log(gg) - 6.0 * log(p3));
  g[4] = 3.0 * para.w2 - T * (6.0 * log(sg) - 3.0 * log(gg) - 3.0 * log(p4));
}

void Grad5(const Model& m, const StateVec& p, StateVec& g) {
  const Para& para = m.para;
  const double T = m.T;
  const double p1 = p[1], p2 = p[2], p3 = p[3], p4 = p[4], p5 = p[5];
  const terms::Frac5 d = terms::Fractions5(p);
  const double xg = d.xg, fg = d.fg, sg = d.sg, gg = d.gg;

  g[1] = (para.dH - T * para.dS) -
         T * (5.0 * (log(p1) - log(xg)) - 6.0 * (log(fg) - log(gg)));
  g[2] = para.e2 - T * (5.0 * (log(p2) - log(xg)) - 6.0 * (log(sg) - log(gg)));
  g[3] = 3.0 * para.w - T * (6.0 * log(fg) - 3.0 * log(gg) - 3.0 * log(p3));
  g[4] = 6.0 * para.w3 -
         T * (6.0 * log(sg) + 6.0 * log(fg) - 6.0 * log(gg) - 6.0 * log(p4));
  g[5] = 3.0 * para.w2 - T * (6.0 * log(sg) - 3.0 * log(gg) - 3.0 * log(p5));
}

void Grad8(const Model& m, const StateVec& p, StateVec& g) {
  const Para& para = m.para;
  const double T = m.T;
  const double p1 = p[1], p2 = p[2], p3 = p[3], p4 = p[4];
  const double p5 = p[5], p6 = p[6], p7 = p[7], p8 = p[8];
  const terms::Frac8 d = terms::Fractions8(p, para.conc2);
  const double xA = d.xA, xB = d.xB, Ga = d.Ga, Ha = d.Ha, Gb = d.Gb, Hb = d.Hb;

  g[1] = (para.dH - T * para.dS) -
         T * (5.0 * (log(p1) - log(xA)) - 6.0 * (log(Ha) - log(Ga)));
  g[2] = ((para.dH + para.dH2) - (para.dS + para.dS2) * T) -
         T * (5.0 * (log(p2) - log(xB)) - 6.0 * (log(Hb) - log(Gb)));
  g[3] = 3.0 * para.w - T * (6.0 * log(Ha) - 3.0 * log(Ga) - 3.0 * log(p3));
  g[4] = 3.0 * para.w - T * (6.0 * log(Hb) - 3.0 * log(Gb) - 3.0 * log(p4));
  g[5] = 0.0 - T * (3.0 * log(Gb) + 3.0 * log(Ga) - 6.0 * log(p5));
  g[6] = 0.0 - T * (6.0 * log(Hb) + 3.0 * log(Ga) - 3.0 * log(Gb) - 6.0 * log(p6));
  g[7] = 0.0 - T * (6.0 * log(Ha) + 3.0 * log(Gb) - 3.0 * log(Ga) - 6.0 * log(p7));
  g[8] = 6.0 * para.w -
         T * (6.0 * log(Hb) + 6.0 * log(Ha) - 3.0 * log(Ga) - 3.0 * log(Gb) - 6.0 * log(p8));
}

}  // namespace

void DerCalc(const Model& m, const StateVec& p, StateVec& g) {
  // The reciprocal temperature is formed before anything else; T = 0 only
  // makes it inf, and no branch below depends on it.
  [[maybe_unused]] const double beta = 1.0 / m.T;

  if (!Check(m, p, m.n0)) {
    // Never past the capacity of a state vector, whatever n0 says.
    const int n = std::min(m.n0, kMaxVars);
    for (int i = 1; i <= n; ++i) g[i] = 0.0;
    return;
  }
  if (IsAltMode(m.para)) {
    GradAlt(m, p, g);  // Check passed, so n0 is 2 here
    return;
  }
  switch (m.n0) {
    case 1:
      Grad1(m, p, g);
      break;
    case 2:
      Grad2(m, p, g);
      break;
    case 4:
      Grad4(m, p, g);
      break;
    case 5:
      Grad5(m, p, g);
      break;
    case 8:
      Grad8(m, p, g);
      break;
    default:
      break;
  }
}

}  // namespace chainmelt
