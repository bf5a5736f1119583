#include "model/variant5.hpp"

#include <cmath>

#include "model/variant_base.hpp"
#include "numeric/ran0.hpp"

namespace chainmelt {

namespace {

// The fractions of a state and their logarithms, computed once per point.
// Make, Value and Grad are inlined into the entry points below, so that the
// pieces stay in registers.
struct Pieces {
  double p1, p2, p3, p4, p5, xg, fg, sg, gg;
  double lp1, lp2, lp3, lp4, lp5, lxg, lfg, lsg, lgg;
};

[[gnu::always_inline]] inline Pieces Make(const StateVec& p, const Variant5::Fractions& d) {
  Pieces s;
  s.p1 = p[1], s.p2 = p[2], s.p3 = p[3], s.p4 = p[4], s.p5 = p[5];
  s.xg = d.xg, s.fg = d.fg, s.sg = d.sg, s.gg = d.gg;
  s.lp1 = std::log(s.p1), s.lp2 = std::log(s.p2), s.lp3 = std::log(s.p3);
  s.lp4 = std::log(s.p4), s.lp5 = std::log(s.p5), s.lxg = std::log(s.xg);
  s.lfg = std::log(s.fg), s.lsg = std::log(s.sg), s.lgg = std::log(s.gg);
  return s;
}

[[gnu::always_inline]] inline double Value(const Model& m, const Pieces& s) {
  const Para& para = m.para;
  const double T = m.T;
  const double U = para.e2 * s.p2 + s.p1 * (para.dH - T * para.dS) + 3.0 * para.w * s.p3 +
                   6.0 * para.w3 * s.p4 + 3.0 * para.w2 * s.p5;
  const double S = 5.0 * (s.xg * s.lxg + s.p1 * s.lp1 + s.p2 * s.lp2) -
                   3.0 * (s.p3 * s.lp3 + 2.0 * s.p4 * s.lp4 + s.p5 * s.lp5) -
                   3.0 * (s.gg * s.lgg + 2.0 * s.fg * s.lfg + 2.0 * s.sg * s.lsg);
  return U - T * S;
}

[[gnu::always_inline]] inline void Grad(const Model& m, const Pieces& s, StateVec& g) {
  const Para& para = m.para;
  const double T = m.T;
  g[1] = (para.dH - T * para.dS) - T * (5.0 * (s.lp1 - s.lxg) - 6.0 * (s.lfg - s.lgg));
  g[2] = para.e2 - T * (5.0 * (s.lp2 - s.lxg) - 6.0 * (s.lsg - s.lgg));
  g[3] = 3.0 * para.w - T * (6.0 * s.lfg - 3.0 * s.lgg - 3.0 * s.lp3);
  g[4] = 6.0 * para.w3 - T * (6.0 * s.lsg + 6.0 * s.lfg - 6.0 * s.lgg - 6.0 * s.lp4);
  g[5] = 3.0 * para.w2 - T * (6.0 * s.lsg - 3.0 * s.lgg - 3.0 * s.lp5);
}

}  // namespace

double Variant5::Free(const Model& m, const StateVec& p) {
  const Fractions d = Dependent(p);
  if (!Inside(p, d)) return kSentinel;
  return Value(m, Make(p, d));
}

bool Variant5::Gradient(const Model& m, const StateVec& p, StateVec& g) {
  const Fractions d = Dependent(p);
  if (!Inside(p, d)) return false;
  Grad(m, Make(p, d), g);
  return true;
}

bool Variant5::FreeGradient(const Model& m, const StateVec& p, StateVec& g, double& F) {
  const Fractions d = Dependent(p);
  if (!Inside(p, d)) return false;
  const Pieces s = Make(p, d);
  Grad(m, s, g);
  F = Value(m, s);
  return true;
}

bool Variant5::Hessian(const Model& m, const StateVec& p, Matrix& h) {
  using variant::Put;
  const double T = m.T;
  const Fractions d = Dependent(p);
  const double xg = d.xg, fg = d.fg, sg = d.sg, gg = d.gg;
  Put(h, 1, 1, -T * (5 / p[1] + 5 / xg - 6 / fg - 12 / gg));
  Put(h, 1, 2, -T * (5 / xg - 12 / gg));
  Put(h, 1, 3, -T * (6 / gg + 6 / fg));
  Put(h, 1, 4, -T * (6 / fg + 12 / gg));
  Put(h, 1, 5, -T * (6 / gg));
  Put(h, 2, 2, -T * (5 / p[2] + 5 / xg - 6 / sg - 12 / gg));
  Put(h, 2, 3, -T * (6 / gg));
  Put(h, 2, 4, -T * (6 / sg + 12 / gg));
  Put(h, 2, 5, -T * (6 / gg + 6 / sg));
  Put(h, 3, 3, -T * (-3 / gg - 6 / fg - 3 / p[3]));
  Put(h, 3, 4, -T * (-6 / gg - 6 / fg));
  Put(h, 3, 5, -T * (-3 / gg));
  Put(h, 4, 4, -T * (-12 / gg - 6 / fg - 6 / sg - 6 / p[4]));
  Put(h, 4, 5, -T * (-6 / gg - 6 / sg));
  Put(h, 5, 5, -T * (-3 / gg - 6 / sg - 3 / p[5]));
  return true;
}

double Variant5::Heat(const Model& model, const Matrix& m) {
  const Para& pa = model.para;
  const double a = -(1 / model.T);
  StateVec r;
  r[1] = a * pa.dH;
  r[2] = a * pa.e2;
  r[3] = a * 3 * pa.w;
  r[4] = a * 6 * pa.w3;
  r[5] = a * 3 * pa.w2;
  return variant::HeatFrom(model.T, r, kVars, m);
}

void Variant5::BoxStart(const Model&, StateVec& p, std::int32_t* idum) {
  p[1] = 0.5 * ran0(idum);
  p[2] = 0.5 * ran0(idum);
  for (int i = 3; i <= 5; ++i) p[i] = 0.2 * ran0(idum);
}

void Variant5::PhaseStart(const Model&, StateVec& p, double x, std::int32_t* idum) {
  p[1] = x;
  p[2] = 0.5 * ran0(idum);
  for (int i = 3; i <= 5; ++i) p[i] = 0.2 * ran0(idum);
}

int Variant5::GridStarts(const Model&, StateVec* s) {
  // Grid over (fluid, component) fractions with i + j <= 6: 15 starts.
  constexpr int kTriangle = 6;
  int n = 0;
  for (int i = 1; i <= kTriangle; ++i) {
    for (int j = 1; i + j <= kTriangle; ++j, ++n) {
      const double x = variant::Stratum(i, kTriangle, 1.0);
      const double c = variant::Stratum(j, kTriangle, 1.0);
      s[n][1] = x;
      s[n][2] = c;
      s[n][3] = x * x;
      s[n][4] = x * c;
      s[n][5] = c * c;
    }
  }
  return n;
}

bool Variant5::AlmostPure(const Model&, double fluid, double minor, StateVec& p) {
  const double x = fluid * (1.0 - 2.0 * minor), s = minor;
  p[1] = x, p[2] = s, p[3] = x * x, p[4] = x * s, p[5] = s * s;
  return true;
}

}  // namespace chainmelt
