// The ligand sums of the mean-field variant (n0 = 1) and of the
// ligand-activity mode: binomial weights, an overflow-safe ln(1 + e^t), and
// a table that computes every member of a sum once per point.
#pragma once

#include <cmath>
#include <cstdint>

#include "model/model.hpp"

namespace chainmelt::ligand {

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
      return activity_mode_ ? Log1pExp(-(N_ - k) * eps_ / T_ - a_)
                            : Log1pZExp(z_, -(N_ - k) * eps_ / T_);
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

}  // namespace chainmelt::ligand
