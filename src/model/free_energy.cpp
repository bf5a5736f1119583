// Free energy per lattice site, F = U - T*S.
//
// The pair variants (n0 = 2, 4, 5, 8) use the quasi-chemical entropy of a
// lattice with six neighbours: site fractions with the factor 5, pair
// probabilities with the factor 3.  The mean-field variant (n0 = 1) and the
// ligand-activity mode use the ideal mixing entropy plus the ligand term.
// Every formula is evaluated term by term in the order it is written; sums
// run from their first term upward.  Nothing is allocated.
#include <cmath>

#include "model/model.hpp"
#include "model/terms.hpp"

namespace chainmelt {

using std::log;

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

namespace {

// Ligand term of n0 = 1: L = sum over k = 0 .. nu + 1 of
// B(k) ln(1 + z exp(-(nu + 1 - k) (dH2 - T dS2) / T)).  Empty when nu + 1 < 0
// or nu is NaN.  A weight turns NaN only when fak(nu + 1) overflows (nu > 169);
// the sum is then NaN for good and the loop stops.
double LigandTerm(const Model& m, double x) {
  const Para& para = m.para;
  const double N = para.nu + 1.0;
  const double eps = para.dH2 - m.T * para.dS2;
  double L = 0.0;
  for (double k = 0.0; k <= N && !std::isnan(L); k += 1.0) {
    L += terms::LigandWeight(N, k, x) * terms::Log1pZExp(para.z, -(N - k) * eps / m.T);
  }
  return L;
}

// The same term in the ligand-activity mode, with exp(-a) in place of z.
double LigandTermAlt(const Model& m, double x, double a) {
  const Para& para = m.para;
  const double N = para.nu + 1.0;
  const double eps = para.dH2 - m.T * para.dS2;
  double L = 0.0;
  for (double k = 0.0; k <= N && !std::isnan(L); k += 1.0) {
    L += terms::LigandWeight(N, k, x) * terms::Log1pExp(-(N - k) * eps / m.T - a);
  }
  return L;
}

double Free1(const Model& m, const StateVec& p) {
  const Para& para = m.para;
  const double T = m.T;
  const double x = p[1];
  const double U = x * (para.dH - T * para.dS) + 0.5 * para.w * (x * x);
  const double S = -x * log(x) - (1.0 - x) * log(1.0 - x) + LigandTerm(m, x);
  return U - T * S;
}

double FreeAlt(const Model& m, const StateVec& p) {
  const Para& para = m.para;
  const double T = m.T;
  const double x = p[1];
  const double U = x * (para.dH - T * para.dS) + 0.5 * para.w * (x * x);
  const double S = -x * log(x) - (1.0 - x) * log(1.0 - x) + LigandTermAlt(m, x, p[2]);
  return U - T * S + para.conc2 * p[2];
}

double Free2(const Model& m, const StateVec& p) {
  const Para& para = m.para;
  const double T = m.T;
  const double p1 = p[1], p2 = p[2];
  const double U = p1 * (para.dH - T * para.dS) + 3.0 * para.w * p2;
  const double S =
      5.0 * (p1 * log(p1) + (1.0 - p1) * log(1.0 - p1)) -
      3.0 * (p2 * log(p2) + 2.0 * (p1 - p2) * log(p1 - p2) +
             (1.0 - 2.0 * p1 + p2) * log(1.0 - 2.0 * p1 + p2));
  return U - T * S;
}

double Free4(const Model& m, const StateVec& p) {
  const Para& para = m.para;
  const double T = m.T;
  const double conc = para.conc;
  const double p1 = p[1], p2 = p[2], p3 = p[3], p4 = p[4];
  const double U = para.e2 * conc + p1 * (para.dH - T * para.dS) + 3.0 * para.w * p2 +
                   6.0 * para.w3 * p3 + 3.0 * para.w2 * p4;
  const double G = 1.0 - 2.0 * p1 - 2.0 * conc + p2 + 2.0 * p3 + p4;
  const double S =
      5.0 * ((1.0 - p1 - conc) * log(1.0 - p1 - conc) + p1 * log(p1) + conc * log(conc)) -
      3.0 * (p2 * log(p2) + 2.0 * p3 * log(p3) + p4 * log(p4)) -
      3.0 * (G * log(G) + 2.0 * (p1 - p2 - p3) * log(p1 - p2 - p3) +
             2.0 * (conc - p3 - p4) * log(conc - p3 - p4));
  return U - T * S;
}

double Free5(const Model& m, const StateVec& p) {
  const Para& para = m.para;
  const double T = m.T;
  const double p1 = p[1], p2 = p[2], p3 = p[3], p4 = p[4], p5 = p[5];
  const double U = para.e2 * p2 + p1 * (para.dH - T * para.dS) + 3.0 * para.w * p3 +
                   6.0 * para.w3 * p4 + 3.0 * para.w2 * p5;
  const double G = 1.0 - 2.0 * p1 - 2.0 * p2 + p3 + 2.0 * p4 + p5;
  const double S =
      5.0 * ((1.0 - p1 - p2) * log(1.0 - p1 - p2) + p1 * log(p1) + p2 * log(p2)) -
      3.0 * (p3 * log(p3) + 2.0 * p4 * log(p4) + p5 * log(p5)) -
      3.0 * (G * log(G) + 2.0 * (p1 - p3 - p4) * log(p1 - p3 - p4) +
             2.0 * (p2 - p4 - p5) * log(p2 - p4 - p5));
  return U - T * S;
}

double Free8(const Model& m, const StateVec& p) {
  const Para& para = m.para;
  const double T = m.T;
  const double b = para.conc2;
  const double p1 = p[1], p2 = p[2], p3 = p[3], p4 = p[4];
  const double p5 = p[5], p6 = p[6], p7 = p[7], p8 = p[8];
  const double U = p1 * (para.dH - T * para.dS) +
                   p2 * ((para.dH + para.dH2) - (para.dS + para.dS2) * T) +
                   3.0 * para.w * (p3 + p4 + 2.0 * p8);
  const double Ga = 1.0 - b - 2.0 * p1 + p3 + p7 + p8 - p5 - p6;
  const double Ha = p1 - p3 - p7 - p8;
  const double Gb = b - 2.0 * p2 + p4 + p6 + p8 - p5 - p7;
  const double Hb = p2 - p4 - p6 - p8;
  const double S =
      5.0 * ((1.0 - b - p1) * log(1.0 - b - p1) + p1 * log(p1) + (b - p2) * log(b - p2) +
             p2 * log(p2)) -
      3.0 * (p3 * log(p3) + p4 * log(p4) + 2.0 * p5 * log(p5) + 2.0 * p6 * log(p6) +
             2.0 * p7 * log(p7) + 2.0 * p8 * log(p8)) -
      3.0 * (Ga * log(Ga) + 2.0 * Ha * log(Ha) + Gb * log(Gb) + 2.0 * Hb * log(Hb));
  return U - T * S;
}

}  // namespace

double FreeCalc(const Model& m, const StateVec& p) {
  if (!Check(m, p, m.n0)) return kSentinel;
  if (IsAltMode(m.para)) return m.n0 == 2 ? FreeAlt(m, p) : kSentinel;
  switch (m.n0) {
    case 1:
      return Free1(m, p);
    case 2:
      return Free2(m, p);
    case 4:
      return Free4(m, p);
    case 5:
      return Free5(m, p);
    case 8:
      return Free8(m, p);
    default:
      return kSentinel;
  }
}

}  // namespace chainmelt
