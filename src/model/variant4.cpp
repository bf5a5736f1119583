#include "model/variant4.hpp"

#include <cmath>

#include "model/variant_base.hpp"
#include "numeric/ran0.hpp"

namespace chainmelt {

namespace {

// The fractions of a state and their logarithms, computed once per point.
// Make, Value and Grad are inlined into the entry points below, so that the
// pieces stay in registers.
struct Pieces {
  double p1, p2, p3, p4, xg, fg, sg, gg;
  double lp1, lp2, lp3, lp4, lxg, lfg, lsg, lgg;
};

[[gnu::always_inline]] inline Pieces Make(const StateVec& p, const Variant4::Fractions& d) {
  Pieces s;
  s.p1 = p[1], s.p2 = p[2], s.p3 = p[3], s.p4 = p[4];
  s.xg = d.xg, s.fg = d.fg, s.sg = d.sg, s.gg = d.gg;
  s.lp1 = std::log(s.p1), s.lp2 = std::log(s.p2), s.lp3 = std::log(s.p3);
  s.lp4 = std::log(s.p4), s.lxg = std::log(s.xg), s.lfg = std::log(s.fg);
  s.lsg = std::log(s.sg), s.lgg = std::log(s.gg);
  return s;
}

[[gnu::always_inline]] inline double Value(const Model& m, const Pieces& s) {
  const Para& para = m.para;
  const double T = m.T;
  const double conc = para.conc;
  const double U = para.e2 * conc + s.p1 * (para.dH - T * para.dS) + 3.0 * para.w * s.p2 +
                   6.0 * para.w3 * s.p3 + 3.0 * para.w2 * s.p4;
  const double S = 5.0 * (s.xg * s.lxg + s.p1 * s.lp1 + conc * std::log(conc)) -
                   3.0 * (s.p2 * s.lp2 + 2.0 * s.p3 * s.lp3 + s.p4 * s.lp4) -
                   3.0 * (s.gg * s.lgg + 2.0 * s.fg * s.lfg + 2.0 * s.sg * s.lsg);
  return U - T * S;
}

[[gnu::always_inline]] inline void Grad(const Model& m, const Pieces& s, StateVec& g) {
  const Para& para = m.para;
  const double T = m.T;
  g[1] = (para.dH - T * para.dS) - T * (5.0 * (s.lp1 - s.lxg) - 6.0 * (s.lfg - s.lgg));
  g[2] = 3.0 * para.w - T * (6.0 * s.lfg - 3.0 * s.lgg - 3.0 * s.lp2);
  g[3] = 6.0 * para.w3 - T * (6.0 * s.lsg + 6.0 * s.lfg - 6.0 * s.lgg - 6.0 * s.lp3);
  g[4] = 3.0 * para.w2 - T * (6.0 * s.lsg - 3.0 * s.lgg - 3.0 * s.lp4);
}

}  // namespace

double Variant4::Free(const Model& m, const StateVec& p) {
  const Fractions d = Dependent(p, m.para.conc);
  if (!Inside(p, d)) return kSentinel;
  return Value(m, Make(p, d));
}

bool Variant4::Gradient(const Model& m, const StateVec& p, StateVec& g) {
  const Fractions d = Dependent(p, m.para.conc);
  if (!Inside(p, d)) return false;
  Grad(m, Make(p, d), g);
  return true;
}

bool Variant4::FreeGradient(const Model& m, const StateVec& p, StateVec& g, double& F) {
  const Fractions d = Dependent(p, m.para.conc);
  if (!Inside(p, d)) return false;
  const Pieces s = Make(p, d);
  Grad(m, s, g);
  F = Value(m, s);
  return true;
}

bool Variant4::Hessian(const Model& m, const StateVec& p, Matrix& h) {
  using variant::Put;
  const double T = m.T;
  const Fractions d = Dependent(p, m.para.conc);
  const double xg = d.xg, fg = d.fg, sg = d.sg, gg = d.gg;
  Put(h, 1, 1, -T * (5 / p[1] + 5 / xg - 6 / fg - 12 / gg));
  Put(h, 1, 2, -T * (6 / gg + 6 / fg));
  Put(h, 1, 3, -T * (6 / fg + 12 / gg));
  Put(h, 1, 4, -T * (6 / gg));
  Put(h, 2, 2, -T * (-3 / gg - 6 / fg - 3 / p[2]));
  Put(h, 2, 3, -T * (-6 / gg - 6 / fg));
  Put(h, 2, 4, -T * (-3 / gg));
  Put(h, 3, 3, -T * (-12 / gg - 6 / fg - 6 / sg - 6 / p[3]));
  Put(h, 3, 4, -T * (-6 / gg - 6 / sg));
  Put(h, 4, 4, -T * (-3 / gg - 6 / sg - 3 / p[4]));
  return true;
}

double Variant4::Heat(const Model& model, const Matrix& m) {
  const Para& pa = model.para;
  const double a = -(1 / model.T);
  StateVec r;
  r[1] = a * pa.dH;
  r[2] = a * 3 * pa.w;
  r[3] = a * 6 * pa.w3;
  r[4] = a * 3 * pa.w2;
  return variant::HeatFrom(model.T, r, kVars, m);
}

void Variant4::BoxStart(const Model&, StateVec& p, std::int32_t* idum) {
  p[1] = 0.5 * ran0(idum);
  for (int i = 2; i <= 4; ++i) p[i] = 0.2 * ran0(idum);
}

void Variant4::PhaseStart(const Model& m, StateVec& p, double x, std::int32_t* idum) {
  // Pair probabilities up to twice their random-mixing values x^2 and
  // x*conc, component pairs up to their random-mixing value conc^2.
  const double conc = m.para.conc;
  p[1] = x;
  p[2] = 2.0 * (x * x) * ran0(idum);
  p[3] = 2.0 * x * conc * ran0(idum);
  p[4] = (conc * conc) * ran0(idum);
}

int Variant4::GridStarts(const Model& m, StateVec* s) {
  const double c = m.para.conc;
  int n = 0;
  for (int k = 1; k <= variant::kLine; ++k, ++n) {
    const double x = variant::Stratum(k, variant::kLine, 1.0 - c);
    s[n][1] = x;
    s[n][2] = x * x;
    s[n][3] = x * c;
    s[n][4] = c * c;
  }
  return n;
}

bool Variant4::AlmostPure(const Model& m, double fluid, double, StateVec& p) {
  const double c = m.para.conc;
  const double x = fluid * (1.0 - c);
  p[1] = x, p[2] = x * x, p[3] = x * c, p[4] = c * c;
  return true;
}

}  // namespace chainmelt
