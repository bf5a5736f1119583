#include "model/variant2.hpp"

#include <cmath>

#include "model/variant_base.hpp"
#include "numeric/ran0.hpp"

namespace chainmelt {

namespace {

// The fractions of a state and their logarithms, computed once per point.
// Make, Value and Grad are inlined into the entry points below, so that the
// pieces stay in registers.
struct Pieces {
  double p1, p2, q1, fg, gg;  // q1 = 1 - p1
  double lp1, lq1, lp2, lfg, lgg;
};

[[gnu::always_inline]] inline Pieces Make(const StateVec& p, const Variant2::Fractions& d) {
  Pieces s;
  s.p1 = p[1], s.p2 = p[2], s.q1 = 1.0 - p[1];
  s.fg = d.fg, s.gg = d.gg;
  s.lp1 = std::log(s.p1), s.lq1 = std::log(s.q1), s.lp2 = std::log(s.p2);
  s.lfg = std::log(s.fg), s.lgg = std::log(s.gg);
  return s;
}

[[gnu::always_inline]] inline double Value(const Model& m, const Pieces& s) {
  const Para& para = m.para;
  const double T = m.T;
  const double U = s.p1 * (para.dH - T * para.dS) + 3.0 * para.w * s.p2;
  const double S = 5.0 * (s.p1 * s.lp1 + s.q1 * s.lq1) -
                   3.0 * (s.p2 * s.lp2 + 2.0 * s.fg * s.lfg + s.gg * s.lgg);
  return U - T * S;
}

[[gnu::always_inline]] inline void Grad(const Model& m, const Pieces& s, StateVec& g) {
  const Para& para = m.para;
  const double T = m.T;
  g[1] = (para.dH - T * para.dS) - T * (5.0 * (s.lp1 - s.lq1) - 6.0 * (s.lfg - s.lgg));
  g[2] = 3.0 * para.w - T * (6.0 * s.lfg - 3.0 * s.lgg - 3.0 * s.lp2);
}

}  // namespace

double Variant2::Free(const Model& m, const StateVec& p) {
  const Fractions d = Dependent(p);
  if (!Inside(p, d)) return kSentinel;
  return Value(m, Make(p, d));
}

bool Variant2::Gradient(const Model& m, const StateVec& p, StateVec& g) {
  const Fractions d = Dependent(p);
  if (!Inside(p, d)) return false;
  Grad(m, Make(p, d), g);
  return true;
}

bool Variant2::FreeGradient(const Model& m, const StateVec& p, StateVec& g, double& F) {
  const Fractions d = Dependent(p);
  if (!Inside(p, d)) return false;
  const Pieces s = Make(p, d);
  Grad(m, s, g);
  F = Value(m, s);
  return true;
}

bool Variant2::Hessian(const Model& m, const StateVec& p, Matrix& h) {
  using variant::Put;
  const double T = m.T;
  const Fractions d = Dependent(p);
  const double fg = d.fg, gg = d.gg;
  Put(h, 1, 1, -T * (5 / p[1] + 5 / (1 - p[1]) - 12 / gg - 6 / fg));
  Put(h, 1, 2, -T * (6 / fg + 6 / gg));
  Put(h, 2, 2, -T * (-3 / gg - 6 / fg - 3 / p[2]));
  return true;
}

double Variant2::Heat(const Model& model, const Matrix& m) {
  const double T = model.T;
  const Para& pa = model.para;
  const double a = -(1 / T);
  StateVec r, s;
  r[1] = a * pa.dH;
  r[2] = a * 3 * pa.w;
  // Written out: no zero start, so that the sign of a zero result is that of
  // the two products.
  s[1] = -r[1] * m[1][1] - r[2] * m[1][2];
  s[2] = -r[1] * m[2][1] - r[2] * m[2][2];
  return -T * (r[1] * s[1] + r[2] * s[2]);
}

void Variant2::BoxStart(const Model&, StateVec& p, std::int32_t* idum) {
  p[1] = 0.5 * ran0(idum);
  p[2] = 0.2 * ran0(idum);
}

void Variant2::PhaseStart(const Model&, StateVec& p, double x, std::int32_t* idum) {
  p[1] = x;
  p[2] = 0.2 * ran0(idum);
}

int Variant2::GridStarts(const Model&, StateVec* s) {
  int n = 0;
  for (int k = 1; k <= variant::kLine; ++k, ++n) {
    const double x = variant::Stratum(k, variant::kLine, 1.0);
    s[n][1] = x;
    s[n][2] = x * x;
  }
  return n;
}

bool Variant2::AlmostPure(const Model&, double fluid, double, StateVec& p) {
  p[1] = fluid, p[2] = fluid * fluid;
  return true;
}

}  // namespace chainmelt
