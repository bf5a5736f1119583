// The per-point pieces of the free energy and its gradient.
//
// The free energy of a state and its gradient there share nearly all their
// costly parts: the logarithms of the site fractions and pair probabilities
// in the pair variants; the binomial coefficients, powers and binding
// logarithms of the ligand sums in the mean-field variant and the
// ligand-activity mode.  The structures below compute each of them once per
// point.  The value and the gradient are then formed from them term by term,
// in the order of the plain formulas, so FreeCalc, DerCalc and FreeDerCalc
// agree to the last bit whichever of them is called.  Nothing is allocated.
#pragma once

#include <cmath>
#include <cstdint>

#include "model/model.hpp"
#include "model/terms.hpp"

namespace chainmelt::pieces {

// ---------------------------------------------------------------------------
// Pair variants: the fractions of a state and their logarithms.

struct Pair2 {
  double p1, p2, q1, fg, gg;  // q1 = 1 - p1
  double lp1, lq1, lp2, lfg, lgg;
};

inline Pair2 MakePair2(const StateVec& p, const terms::Frac2& d) {
  Pair2 s;
  s.p1 = p[1], s.p2 = p[2], s.q1 = 1.0 - p[1];
  s.fg = d.fg, s.gg = d.gg;
  s.lp1 = std::log(s.p1), s.lq1 = std::log(s.q1), s.lp2 = std::log(s.p2);
  s.lfg = std::log(s.fg), s.lgg = std::log(s.gg);
  return s;
}

inline double Value(const Model& m, const Pair2& s) {
  const Para& para = m.para;
  const double T = m.T;
  const double U = s.p1 * (para.dH - T * para.dS) + 3.0 * para.w * s.p2;
  const double S = 5.0 * (s.p1 * s.lp1 + s.q1 * s.lq1) -
                   3.0 * (s.p2 * s.lp2 + 2.0 * s.fg * s.lfg + s.gg * s.lgg);
  return U - T * S;
}

inline void Gradient(const Model& m, const Pair2& s, StateVec& g) {
  const Para& para = m.para;
  const double T = m.T;
  g[1] = (para.dH - T * para.dS) - T * (5.0 * (s.lp1 - s.lq1) - 6.0 * (s.lfg - s.lgg));
  g[2] = 3.0 * para.w - T * (6.0 * s.lfg - 3.0 * s.lgg - 3.0 * s.lp2);
}

struct Pair4 {
  double p1, p2, p3, p4, xg, fg, sg, gg;
  double lp1, lp2, lp3, lp4, lxg, lfg, lsg, lgg;
};

inline Pair4 MakePair4(const StateVec& p, const terms::Frac4& d) {
  Pair4 s;
  s.p1 = p[1], s.p2 = p[2], s.p3 = p[3], s.p4 = p[4];
  s.xg = d.xg, s.fg = d.fg, s.sg = d.sg, s.gg = d.gg;
  s.lp1 = std::log(s.p1), s.lp2 = std::log(s.p2), s.lp3 = std::log(s.p3);
  s.lp4 = std::log(s.p4), s.lxg = std::log(s.xg), s.lfg = std::log(s.fg);
  s.lsg = std::log(s.sg), s.lgg = std::log(s.gg);
  return s;
}

inline double Value(const Model& m, const Pair4& s) {
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

inline void Gradient(const Model& m, const Pair4& s, StateVec& g) {
  const Para& para = m.para;
  const double T = m.T;
  g[1] = (para.dH - T * para.dS) - T * (5.0 * (s.lp1 - s.lxg) - 6.0 * (s.lfg - s.lgg));
  g[2] = 3.0 * para.w - T * (6.0 * s.lfg - 3.0 * s.lgg - 3.0 * s.lp2);
  g[3] = 6.0 * para.w3 - T * (6.0 * s.lsg + 6.0 * s.lfg - 6.0 * s.lgg - 6.0 * s.lp3);
  g[4] = 3.0 * para.w2 - T * (6.0 * s.lsg - 3.0 * s.lgg - 3.0 * s.lp4);
}

struct Pair5 {
  double p1, p2, p3, p4, p5, xg, fg, sg, gg;
  double lp1, lp2, lp3, lp4, lp5, lxg, lfg, lsg, lgg;
};

inline Pair5 MakePair5(const StateVec& p, const terms::Frac5& d) {
  Pair5 s;
  s.p1 = p[1], s.p2 = p[2], s.p3 = p[3], s.p4 = p[4], s.p5 = p[5];
  s.xg = d.xg, s.fg = d.fg, s.sg = d.sg, s.gg = d.gg;
  s.lp1 = std::log(s.p1), s.lp2 = std::log(s.p2), s.lp3 = std::log(s.p3);
  s.lp4 = std::log(s.p4), s.lp5 = std::log(s.p5), s.lxg = std::log(s.xg);
  s.lfg = std::log(s.fg), s.lsg = std::log(s.sg), s.lgg = std::log(s.gg);
  return s;
}

inline double Value(const Model& m, const Pair5& s) {
  const Para& para = m.para;
  const double T = m.T;
  const double U = para.e2 * s.p2 + s.p1 * (para.dH - T * para.dS) + 3.0 * para.w * s.p3 +
                   6.0 * para.w3 * s.p4 + 3.0 * para.w2 * s.p5;
  const double S = 5.0 * (s.xg * s.lxg + s.p1 * s.lp1 + s.p2 * s.lp2) -
                   3.0 * (s.p3 * s.lp3 + 2.0 * s.p4 * s.lp4 + s.p5 * s.lp5) -
                   3.0 * (s.gg * s.lgg + 2.0 * s.fg * s.lfg + 2.0 * s.sg * s.lsg);
  return U - T * S;
}

inline void Gradient(const Model& m, const Pair5& s, StateVec& g) {
  const Para& para = m.para;
  const double T = m.T;
  g[1] = (para.dH - T * para.dS) - T * (5.0 * (s.lp1 - s.lxg) - 6.0 * (s.lfg - s.lgg));
  g[2] = para.e2 - T * (5.0 * (s.lp2 - s.lxg) - 6.0 * (s.lsg - s.lgg));
  g[3] = 3.0 * para.w - T * (6.0 * s.lfg - 3.0 * s.lgg - 3.0 * s.lp3);
  g[4] = 6.0 * para.w3 - T * (6.0 * s.lsg + 6.0 * s.lfg - 6.0 * s.lgg - 6.0 * s.lp4);
  g[5] = 3.0 * para.w2 - T * (6.0 * s.lsg - 3.0 * s.lgg - 3.0 * s.lp5);
}

struct Pair8 {
  double p[9];  // p[1..8]
  double xA, xB, Ga, Ha, Gb, Hb;
  double lp[9];
  double lxA, lxB, lGa, lHa, lGb, lHb;
};

inline Pair8 MakePair8(const StateVec& p, const terms::Frac8& d) {
  Pair8 s;
  s.p[0] = s.lp[0] = 0.0;
  for (int i = 1; i <= 8; ++i) s.p[i] = p[i], s.lp[i] = std::log(p[i]);
  s.xA = d.xA, s.xB = d.xB, s.Ga = d.Ga, s.Ha = d.Ha, s.Gb = d.Gb, s.Hb = d.Hb;
  s.lxA = std::log(s.xA), s.lxB = std::log(s.xB), s.lGa = std::log(s.Ga);
  s.lHa = std::log(s.Ha), s.lGb = std::log(s.Gb), s.lHb = std::log(s.Hb);
  return s;
}

inline double Value(const Model& m, const Pair8& s) {
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

inline void Gradient(const Model& m, const Pair8& s, StateVec& g) {
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

// ---------------------------------------------------------------------------
// Ligand variants (n0 = 1 and the ligand-activity mode).

// Fluid fraction x, gel fraction 1 - x and their logarithms.
struct Mixing {
  double x, q, lx, lq;
};

inline Mixing MakeMixing(double x) { return {x, 1.0 - x, std::log(x), std::log(1.0 - x)}; }

// The members of the ligand sums at one fluid fraction x, each computed on
// first use and kept for the rest of the point: the factorials, the binomial
// coefficients C(k) = fak(N) / (fak(N - k) fak(k)), the powers x^(N - k) and
// (1 - x)^k, and the binding logarithms, N = nu + 1.  The binding logarithm
// of member k is ln(1 + z e^(-(N - k) eps / T)) with the activity z, or, in
// the ligand-activity mode, ln(1 + e^(-(N - k) eps / T - a)).
//
// A kept value is handed out only where its arguments are bit-identical to
// those of the request, so every value is exactly the one a fresh evaluation
// would give.  Every ligand sum ends by member 171: from N = 171 on, fak(N)
// is inf and the first coefficient inf / inf is NaN.  Members past the table,
// which no sum reaches, are simply evaluated afresh.
class LigandTable {
 public:
  static constexpr int kSlots = 172;

  LigandTable(const Model& m, double x, bool activity_mode, double a)
      : T_(m.T),
        z_(m.para.z),
        a_(a),
        activity_mode_(activity_mode),
        x_(x),
        y_(1.0 - x),
        nu_(m.para.nu),
        N_(m.para.nu + 1.0),
        eps_(m.para.dH2 - m.T * m.para.dS2) {}

  double N() const { return N_; }
  double nu() const { return nu_; }
  double eps() const { return eps_; }

  // fak(v), the factorial of the integer part of v (1 below 1 and for NaN,
  // inf from 171 on), by the same chain of products 1*1*2*...*j.
  double Fak(double v) {
    if (!(v >= 1.0)) return 1.0;
    const int j = v < 171.0 ? static_cast<int>(v) : 171;
    while (nfak_ <= j) {
      fak_[nfak_] = nfak_ == 0 ? 1.0 : fak_[nfak_ - 1] * static_cast<double>(nfak_);
      ++nfak_;
    }
    return fak_[j];
  }

  double Binom(double k) {
    return Kept(binom_, have_binom_, Slot(k), [&] { return Fak(N_) / (Fak(N_ - k) * Fak(k)); });
  }
  // x^(N - k) for member k.
  double PowXAt(double k) {
    return Kept(powx_, have_powx_, Slot(k), [&] { return std::pow(x_, N_ - k); });
  }
  // x^e; the kept x^(N - k) when e is exactly N - k for a member k.
  double PowX(double e) {
    const double k = N_ - e;
    if (Slot(k) >= 0 && N_ - k == e) return PowXAt(k);
    return std::pow(x_, e);
  }
  // (1 - x)^e.
  double PowY(double e) {
    return Kept(powy_, have_powy_, Slot(e), [&] { return std::pow(y_, e); });
  }
  double Bind(double k) {
    return Kept(bind_, have_bind_, Slot(k), [&] {
      return activity_mode_ ? terms::Log1pExp(-(N_ - k) * eps_ / T_ - a_)
                            : terms::Log1pZExp(z_, -(N_ - k) * eps_ / T_);
    });
  }
  // B(k) = C(k) x^(N - k) (1 - x)^k.
  double Weight(double k) { return Binom(k) * PowXAt(k) * PowY(k); }

 private:
  using Mask = std::uint64_t[3];

  // The table index of a whole number 0 <= k < kSlots, otherwise -1.
  static int Slot(double k) {
    if (!(k >= 0.0 && k < kSlots)) return -1;
    const int i = static_cast<int>(k);
    return static_cast<double>(i) == k ? i : -1;
  }

  template <class F>
  static double Kept(double* tab, Mask& have, int i, F compute) {
    if (i < 0) return compute();
    const unsigned u = static_cast<unsigned>(i);
    const std::uint64_t bit = std::uint64_t{1} << (u & 63u);
    if (have[u >> 6] & bit) return tab[u];
    tab[u] = compute();
    have[u >> 6] |= bit;
    return tab[u];
  }

  double T_, z_, a_;
  bool activity_mode_;
  double x_, y_, nu_, N_, eps_;

  int nfak_ = 0;
  Mask have_binom_ = {}, have_powx_ = {}, have_powy_ = {}, have_bind_ = {};
  double fak_[kSlots];
  double binom_[kSlots], powx_[kSlots], powy_[kSlots], bind_[kSlots];
};

// L = sum over k = 0, 1, ... while k <= N of B(k) times the binding logarithm.
// Empty when N < 0 or nu is NaN; ends once the sum is NaN.
inline double LigandSum(LigandTable& t) {
  const double N = t.N();
  double L = 0.0;
  for (double k = 0.0; k <= N && !std::isnan(L); k += 1.0) L += t.Weight(k) * t.Bind(k);
  return L;
}

// d/dx of x^(N - k) (1 - x)^k, written with nu = N - 1:
//   (N - k) x^(nu - k) (1 - x)^k - k x^(N - k) (1 - x)^(k - 1).
// A member whose coefficient is 0 contributes exactly 0, as it does wherever
// its powers are finite; for a fluid fraction so small that x^(nu - k) is inf
// the product would otherwise be 0 * inf = NaN.
inline double PowerSlope(LigandTable& t, double k) {
  const double N = t.N(), nu = t.nu();
  const double up = N - k == 0.0 ? 0.0 : (N - k) * t.PowX(nu - k) * t.PowY(k);
  const double down = k == 0.0 ? 0.0 : k * t.PowXAt(k) * t.PowY(k - 1.0);
  return up - down;
}

inline double Value1(const Model& m, const Mixing& s, LigandTable& t) {
  const Para& para = m.para;
  const double T = m.T;
  const double x = s.x;
  const double U = x * (para.dH - T * para.dS) + 0.5 * para.w * (x * x);
  const double S = -x * s.lx - s.q * s.lq + LigandSum(t);
  return U - T * S;
}

// n0 = 1: the derivative of the ligand sum with respect to x,
//   sum over k = 0 .. nu + 1 of C(k) PowerSlope(k) ln(1 + q(k)),
// q(k) = z exp(-(N - k) eps / T).  For a whole-number nu >= -1 the first
// member is N x^nu ln(1 + q(0)) and the last -N (1 - x)^nu ln(1 + z), to the
// last bit.  Running the same members as the free energy keeps it the exact
// derivative for a fractional nu and for nu < -1 (empty sum) too.
inline void Gradient1(const Model& m, const Mixing& s, LigandTable& t, StateVec& g) {
  const Para& para = m.para;
  const double T = m.T;
  const double N = t.N();
  double lam = 0.0;
  for (double k = 0.0; k <= N && !std::isnan(lam); k += 1.0)
    lam += t.Binom(k) * PowerSlope(t, k) * t.Bind(k);
  const double a1 = (para.dH - T * para.dS) + para.w * s.x;
  const double b1 = s.lq - s.lx + lam;
  g[1] = a1 - T * b1;
}

inline double ValueAlt(const Model& m, const Mixing& s, LigandTable& t, double p2) {
  const Para& para = m.para;
  const double T = m.T;
  const double x = s.x;
  const double U = x * (para.dH - T * para.dS) + 0.5 * para.w * (x * x);
  const double S = -x * s.lx - s.q * s.lq + LigandSum(t);
  return U - T * S + para.conc2 * p2;
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
inline void GradientAlt(const Model& m, const Mixing& s, LigandTable& t, double p2,
                        StateVec& g) {
  const Para& para = m.para;
  const double T = m.T;
  const double nu = t.nu(), N = t.N(), eps = t.eps();

  // N p1^nu ln(1 + r(0)), the members 1 <= k <= nu, -N (1 - p1)^nu ln(1 + e^(p2/T)).
  double lam = PowerSlope(t, 0.0) * t.Bind(0.0);
  for (double k = 1.0; k <= nu && !std::isnan(lam); k += 1.0)
    lam += t.Binom(k) * PowerSlope(t, k) * t.Bind(k);
  lam -= N * t.PowY(nu) * terms::Log1pExp(p2 / T);
  g[1] = (para.dH - T * para.dS) + para.w * s.x - T * (s.lq - s.lx + lam);

  // 1 / (1 + e^t) tends to 0 as e^t overflows: no guard needed.
  double bound = 0.0;
  for (double k = 0.0; k <= N && !std::isnan(bound); k += 1.0)
    bound += t.Weight(k) / (1.0 + std::exp((N - k) * eps / T - p2));
  g[2] = para.conc2 - bound;
}

// ---------------------------------------------------------------------------
// The state of one point, for whichever of value and gradient is asked.
// Every entry point (FreeCalc, DerCalc, FreeDerCalc) goes through Visit, so
// they test feasibility the same way and build the same pieces.
//
// Visit tests p as Check does and calls, on the fractions it tested,
//   outside()                                 for a state Check rejects,
//   pair(pieces)                              in the pair variants,
//   mean(mixing, table)                       for n0 = 1,
//   alt(mixing, table)                        in the ligand-activity mode.
// The ligand variants build their table of members in a frame of their own,
// so that the pair variants do not pay for its size.
template <class Fn>
[[gnu::noinline]] auto VisitLigand(const Model& m, const StateVec& p, bool activity_mode,
                                   Fn fn) {
  LigandTable t(m, p[1], activity_mode, activity_mode ? p[2] : 0.0);
  return fn(MakeMixing(p[1]), t);
}

template <class Outside, class PairFn, class MeanFn, class AltFn>
[[gnu::always_inline]] inline auto Visit(const Model& m, const StateVec& p, Outside outside,
                                         PairFn pair, MeanFn mean, AltFn alt) {
  if (IsAltMode(m.para)) {
    if (m.n0 != 2 || !terms::InsideAlt(p)) return outside();
    return VisitLigand(m, p, true, alt);
  }
  switch (m.n0) {
    case 1: {
      if (!terms::Inside1(p)) return outside();
      return VisitLigand(m, p, false, mean);
    }
    case 2: {
      const terms::Frac2 d = terms::Fractions2(p);
      if (!terms::Inside2(p, d)) return outside();
      return pair(MakePair2(p, d));
    }
    case 4: {
      const terms::Frac4 d = terms::Fractions4(p, m.para.conc);
      if (!terms::Inside4(p, d)) return outside();
      return pair(MakePair4(p, d));
    }
    case 5: {
      const terms::Frac5 d = terms::Fractions5(p);
      if (!terms::Inside5(p, d)) return outside();
      return pair(MakePair5(p, d));
    }
    case 8: {
      const terms::Frac8 d = terms::Fractions8(p, m.para.conc2);
      if (!terms::Inside8(p, d)) return outside();
      return pair(MakePair8(p, d));
    }
    default:
      return outside();
  }
}

}  // namespace chainmelt::pieces
