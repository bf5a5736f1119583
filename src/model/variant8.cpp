#include "model/variant8.hpp"

#include <cmath>

#include "model/variant_base.hpp"
#include "numeric/ran0.hpp"

namespace chainmelt {

namespace {

// The fractions of a state and their logarithms, computed once per point.
// Make, Value and Grad are inlined into the entry points below, so that the
// pieces stay in registers.
struct Pieces {
  double p[9];  // p[1..8]
  double xA, xB, Ga, Ha, Gb, Hb;
  double lp[9];
  double lxA, lxB, lGa, lHa, lGb, lHb;
};

[[gnu::always_inline]] inline Pieces Make(const StateVec& p, const Variant8::Fractions& d) {
  Pieces s;
  s.p[0] = s.lp[0] = 0.0;
  for (int i = 1; i <= 8; ++i) s.p[i] = p[i], s.lp[i] = std::log(p[i]);
  s.xA = d.xA, s.xB = d.xB, s.Ga = d.Ga, s.Ha = d.Ha, s.Gb = d.Gb, s.Hb = d.Hb;
  s.lxA = std::log(s.xA), s.lxB = std::log(s.xB), s.lGa = std::log(s.Ga);
  s.lHa = std::log(s.Ha), s.lGb = std::log(s.Gb), s.lHb = std::log(s.Hb);
  return s;
}

[[gnu::always_inline]] inline double Value(const Model& m, const Pieces& s) {
  const Para& para = m.para;
  const double T = m.T;
  const double* p = s.p;
  const double* lp = s.lp;
  const double U = p[1] * (para.dH - T * para.dS) +
                   p[2] * ((para.dH + para.dH2) - (para.dS + para.dS2) * T) +
                   3.0 * para.w * (p[3] + p[4] + 2.0 * p[8]);
  const double S =
      5.0 * (s.xA * s.lxA + p[1] * lp[1] + s.xB * s.lxB + p[2] * lp[2]) -
      3.0 * (p[3] * lp[3] + p[4] * lp[4] + 2.0 * p[5] * lp[5] + 2.0 * p[6] * lp[6] +
             2.0 * p[7] * lp[7] + 2.0 * p[8] * lp[8]) -
      3.0 * (s.Ga * s.lGa + 2.0 * s.Ha * s.lHa + s.Gb * s.lGb + 2.0 * s.Hb * s.lHb);
  return U - T * S;
}

[[gnu::always_inline]] inline void Grad(const Model& m, const Pieces& s, StateVec& g) {
  const Para& para = m.para;
  const double T = m.T;
  const double* lp = s.lp;
  g[1] = (para.dH - T * para.dS) - T * (5.0 * (lp[1] - s.lxA) - 6.0 * (s.lHa - s.lGa));
  g[2] = ((para.dH + para.dH2) - (para.dS + para.dS2) * T) -
         T * (5.0 * (lp[2] - s.lxB) - 6.0 * (s.lHb - s.lGb));
  g[3] = 3.0 * para.w - T * (6.0 * s.lHa - 3.0 * s.lGa - 3.0 * lp[3]);
  g[4] = 3.0 * para.w - T * (6.0 * s.lHb - 3.0 * s.lGb - 3.0 * lp[4]);
  g[5] = 0.0 - T * (3.0 * s.lGb + 3.0 * s.lGa - 6.0 * lp[5]);
  g[6] = 0.0 - T * (6.0 * s.lHb + 3.0 * s.lGa - 3.0 * s.lGb - 6.0 * lp[6]);
  g[7] = 0.0 - T * (6.0 * s.lHa + 3.0 * s.lGb - 3.0 * s.lGa - 6.0 * lp[7]);
  g[8] = 6.0 * para.w -
         T * (6.0 * s.lHb + 6.0 * s.lHa - 3.0 * s.lGa - 3.0 * s.lGb - 6.0 * lp[8]);
}

}  // namespace

double Variant8::Free(const Model& m, const StateVec& p) {
  const Fractions d = Dependent(p, m.para.conc2);
  if (!Inside(p, d)) return kSentinel;
  return Value(m, Make(p, d));
}

bool Variant8::Gradient(const Model& m, const StateVec& p, StateVec& g) {
  const Fractions d = Dependent(p, m.para.conc2);
  if (!Inside(p, d)) return false;
  Grad(m, Make(p, d), g);
  return true;
}

bool Variant8::FreeGradient(const Model& m, const StateVec& p, StateVec& g, double& F) {
  const Fractions d = Dependent(p, m.para.conc2);
  if (!Inside(p, d)) return false;
  const Pieces s = Make(p, d);
  Grad(m, s, g);
  F = Value(m, s);
  return true;
}

bool Variant8::Hessian(const Model& m, const StateVec& p, Matrix& h) {
  using variant::Put;
  const double T = m.T;
  const Fractions d = Dependent(p, m.para.conc2);
  const double xA = d.xA, xB = d.xB;
  const double al = 1 / d.Ga;
  const double be = 1 / d.Ha;
  const double ga = 1 / d.Gb;
  const double de = 1 / d.Hb;

  Put(h, 1, 1, -T * (5 / p[1] + 5 / xA - 6 * be - 12 * al));
  Put(h, 1, 2, 0.0);
  Put(h, 1, 4, 0.0);
  const double h13 = -T * (6 * al + 6 * be);
  Put(h, 1, 3, h13);
  Put(h, 1, 7, h13);
  Put(h, 1, 8, h13);
  const double h15 = -T * (-6 * al);
  Put(h, 1, 5, h15);
  Put(h, 1, 6, h15);

  Put(h, 2, 2, -T * (5 / p[2] + 5 / xB - 6 * de - 12 * ga));
  Put(h, 2, 3, 0.0);
  const double h24 = -T * (6 * ga + 6 * de);
  Put(h, 2, 4, h24);
  Put(h, 2, 6, h24);
  Put(h, 2, 8, h24);
  const double h25 = -T * (-6 * ga);
  Put(h, 2, 5, h25);
  Put(h, 2, 7, h25);

  Put(h, 3, 3, -T * (-3 / p[3] - 3 * al - 6 * be));
  Put(h, 3, 4, 0.0);
  const double h35 = -T * (3 * al);
  Put(h, 3, 5, h35);
  Put(h, 3, 6, h35);
  const double h37 = -T * (-3 * al - 6 * be);
  Put(h, 3, 7, h37);
  Put(h, 3, 8, h37);

  Put(h, 4, 4, -T * (-3 / p[4] - 3 * ga - 6 * de));
  const double h45 = -T * (3 * ga);
  Put(h, 4, 5, h45);
  Put(h, 4, 7, h45);
  const double h46 = -T * (-3 * ga - 6 * de);
  Put(h, 4, 6, h46);
  Put(h, 4, 8, h46);

  Put(h, 5, 5, -T * (-6 / p[5] - 3 * al - 3 * ga));
  Put(h, 5, 6, -T * (-3 * al + 3 * ga));
  Put(h, 5, 7, -T * (3 * al - 3 * ga));
  Put(h, 5, 8, -T * (3 * al + 3 * ga));

  Put(h, 6, 6, -T * (-6 / p[6] - 3 * al - 3 * ga - 6 * de));
  Put(h, 6, 7, -T * (3 * al + 3 * ga));
  Put(h, 6, 8, -T * (3 * al - 3 * ga - 6 * de));

  Put(h, 7, 7, -T * (-6 / p[7] - 3 * al - 6 * be - 3 * ga));
  Put(h, 7, 8, -T * (-3 * al - 6 * be + 3 * ga));

  Put(h, 8, 8, -T * (-6 / p[8] - 3 * al - 6 * be - 3 * ga - 6 * de));
  return true;
}

double Variant8::Heat(const Model& model, const Matrix& m) {
  const Para& pa = model.para;
  const double a = -(1 / model.T);
  StateVec r;
  r[1] = a * pa.dH;
  r[2] = a * (pa.dH + pa.dH2);
  r[3] = a * 3 * pa.w;
  r[4] = a * 3 * pa.w;
  r[5] = 0;
  r[6] = 0;
  r[7] = 0;
  r[8] = a * 6 * pa.w;
  return variant::HeatFrom(model.T, r, kVars, m);
}

void Variant8::BoxStart(const Model& m, StateVec& p, std::int32_t* idum) {
  const double b = m.para.conc2;
  p[1] = (1.0 - b) * 0.5 * ran0(idum);
  p[2] = b * 0.5 * ran0(idum);
  p[3] = (1.0 - b) * 0.2 * ran0(idum);
  for (int i = 4; i <= 8; ++i) p[i] = b * 0.2 * ran0(idum);
}

void Variant8::PhaseStart(const Model& m, StateVec& p, double x, std::int32_t* idum) {
  const double b = m.para.conc2;
  p[1] = x;
  p[2] = b * 0.5 * ran0(idum);
  p[3] = (1.0 - b) * 0.2 * ran0(idum);
  for (int i = 4; i <= 8; ++i) p[i] = b * 0.2 * ran0(idum);
}

namespace {

// Site fractions xa (Af), xb (Bf), pair probabilities at random mixing.
void Mixed(double b, double xa, double xb, StateVec& p) {
  const double ga = (1.0 - b) - xa, gb = b - xb;
  p[1] = xa, p[2] = xb, p[3] = xa * xa, p[4] = xb * xb, p[5] = ga * gb, p[6] = xb * ga;
  p[7] = xa * gb, p[8] = xa * xb;
}

}  // namespace

int Variant8::GridStarts(const Model& m, StateVec* s) {
  // 3 x 3 over the two fluid fractions.
  constexpr int kSquare = 3;
  const double b = m.para.conc2;
  int n = 0;
  for (int i = 1; i <= kSquare; ++i) {
    for (int j = 1; j <= kSquare; ++j, ++n) {
      Mixed(b, variant::Stratum(i, kSquare, 1.0 - b), variant::Stratum(j, kSquare, b), s[n]);
    }
  }
  return n;
}

bool Variant8::AlmostPure(const Model& m, double fluid, double, StateVec& p) {
  const double b = m.para.conc2;
  Mixed(b, fluid * (1.0 - b), fluid * b, p);
  return true;
}

}  // namespace chainmelt
