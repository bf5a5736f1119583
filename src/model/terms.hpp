// Pieces shared by the routines of the lattice model: the dependent fractions
// of every variant (formed the same way wherever they are needed, so that a
// state accepted by Check never takes the logarithm of a non-positive number),
// the binomial weights of the ligand sums and an overflow-safe ln(1 + e^t).
#pragma once

#include <cmath>

#include "model/model.hpp"

namespace chainmelt::terms {

// n0 = 2: y(f,g), y(g,g).
struct Frac2 {
  double fg, gg;
};
inline Frac2 Fractions2(const StateVec& p) { return {p[1] - p[2], 1.0 - 2.0 * p[1] + p[2]}; }

// n0 = 4: x(g), y(f,g), y(s,g), y(g,g) with the fixed fraction conc.
struct Frac4 {
  double xg, fg, sg, gg;
};
inline Frac4 Fractions4(const StateVec& p, double conc) {
  return {1.0 - p[1] - conc, p[1] - p[2] - p[3], conc - p[3] - p[4],
          1.0 - 2.0 * p[1] - 2.0 * conc + p[2] + 2.0 * p[3] + p[4]};
}

// n0 = 5: x(g), y(f,g), y(s,g), y(g,g); p2 is the fraction of the component.
struct Frac5 {
  double xg, fg, sg, gg;
};
inline Frac5 Fractions5(const StateVec& p) {
  return {1.0 - p[1] - p[2], p[1] - p[3] - p[4], p[2] - p[4] - p[5],
          1.0 - 2.0 * p[1] - 2.0 * p[2] + p[3] + 2.0 * p[4] + p[5]};
}

// n0 = 8: x(Ag), x(Bg), y(Ag,Ag), y(Af,Ag), y(Bg,Bg), y(Bf,Bg); b = conc2.
struct Frac8 {
  double xA, xB, Ga, Ha, Gb, Hb;
};
inline Frac8 Fractions8(const StateVec& p, double b) {
  return {1.0 - b - p[1],
          b - p[2],
          1.0 - b - 2.0 * p[1] + p[3] + p[7] + p[8] - p[5] - p[6],
          p[1] - p[3] - p[7] - p[8],
          b - 2.0 * p[2] + p[4] + p[6] + p[8] - p[5] - p[7],
          p[2] - p[4] - p[6] - p[8]};
}

// The feasible region (Check): every site fraction and pair probability of
// the variant strictly positive.  Every test is a strict comparison, so a NaN
// anywhere makes the state infeasible.  One test per variant, on the
// fractions formed above, so that the free energy and its gradient can test
// the fractions they go on to use.

// Ligand-activity mode: p1 is the fluid fraction, p2 is unbounded.  p2 may
// take any real value, but not NaN: a NaN state has no free energy and must
// not reach the minimiser.
inline bool InsideAlt(const StateVec& p) { return p[1] > 0.0 && p[1] < 1.0 && !std::isnan(p[2]); }
inline bool Inside1(const StateVec& p) { return p[1] > 0.0 && 1.0 - p[1] > 0.0; }
// p1 > 0 and 1 - p1 > 0 follow from these three.
inline bool Inside2(const StateVec& p, const Frac2& d) {
  return p[2] > 0.0 && d.fg > 0.0 && d.gg > 0.0;
}
inline bool Inside4(const StateVec& p, const Frac4& d) {
  return p[1] > 0.0 && p[2] > 0.0 && p[3] > 0.0 && p[4] > 0.0 && d.xg > 0.0 && d.gg > 0.0 &&
         d.fg > 0.0 && d.sg > 0.0;
}
inline bool Inside5(const StateVec& p, const Frac5& d) {
  return p[1] > 0.0 && p[2] > 0.0 && p[3] > 0.0 && p[4] > 0.0 && p[5] > 0.0 && d.xg > 0.0 &&
         d.gg > 0.0 && d.fg > 0.0 && d.sg > 0.0;
}
inline bool Inside8(const StateVec& p, const Frac8& d) {
  for (int i = 1; i <= 8; ++i) {
    if (!(p[i] > 0.0)) return false;
  }
  return d.xA > 0.0 && d.xB > 0.0 && d.Ga > 0.0 && d.Ha > 0.0 && d.Gb > 0.0 && d.Hb > 0.0;
}

inline bool Feasible(const Model& m, const StateVec& p, int n) {
  if (IsAltMode(m.para)) return n == 2 && InsideAlt(p);
  switch (n) {
    case 1:
      return Inside1(p);
    case 2:
      return Inside2(p, Fractions2(p));
    case 4:
      return Inside4(p, Fractions4(p, m.para.conc));
    case 5:
      return Inside5(p, Fractions5(p));
    case 8:
      return Inside8(p, Fractions8(p, m.para.conc2));
    default:
      return false;  // no model, no feasible state
  }
}

// C(k) = fak(N) / (fak(N - k) * fak(k)), N = nu + 1.
inline double Binom(double N, double k) { return fak(N) / (fak(N - k) * fak(k)); }

// B(k): probability that a ligand over N chains covers k gel and N - k fluid
// chains when the fluid fraction is x.  Real exponents, truncating factorials.
inline double LigandWeight(double N, double k, double x) {
  return Binom(N, k) * std::pow(x, N - k) * std::pow(1.0 - x, k);
}

// ln(1 + e^t).  The plain formula wherever e^t is finite; where it would
// overflow, the equal form t + ln(1 + e^-t), which stays finite.
inline double Log1pExp(double t) {
  const double e = std::exp(t);
  if (!std::isinf(e)) return std::log(1.0 + e);
  return t + std::log1p(std::exp(-t));
}

// ln(1 + z e^t), the binding term of a spot with activity z >= 0.  The plain
// formula wherever z e^t is finite.  Where it overflows: 0 for z = 0 (an
// empty spot, whatever the Boltzmann factor; the plain formula would give
// NaN from 0 * inf), otherwise ln(1 + e^(t + ln z)) in the safe form.
// A negative z is outside the model and left to the plain formula.
inline double Log1pZExp(double z, double t) {
  const double e = std::exp(t);
  const double q = z * e;
  if (!std::isinf(e) && !std::isinf(q)) return std::log(1.0 + q);
  if (z == 0.0) return 0.0;
  if (z > 0.0) return Log1pExp(t + std::log(z));
  return std::log(1.0 + q);
}

}  // namespace chainmelt::terms
