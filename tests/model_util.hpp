// Small model builders shared by the tests of the searches and the lattice.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include <boost/math/tools/minima.hpp>

#include "model/model.hpp"

namespace chainmelt::testing {

// The bits of a double, to compare values exactly (NaNs and signed zeros too).
inline std::uint64_t Bits(double v) {
  std::uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

// A lipid of variant n0 with dH and dS derived from Tm and dHcal as the
// command line does.
inline Model Lipid(int n0, double w, double Tm, double dHcal) {
  Model m;
  m.n0 = n0;
  m.para.w = w;
  m.para.dH = dHcal - (n0 == 1 ? 0.5 : 3.0) * w;
  m.para.dS = dHcal / Tm;
  return m;
}

// A mixture with a variable second component (n0 = 5).
inline Model Mixture5(double w, double dH, double dS) {
  Model m;
  m.n0 = 5;
  m.para.w = w, m.para.w2 = -100, m.para.w3 = 50, m.para.e2 = 100;
  m.para.dH = dH, m.para.dS = dS;
  return m;
}

// The pair model (n0 = 2) with the given energies.
inline Model PairModel(double w, double dH, double dS) {
  Model m;
  m.n0 = 2;
  m.para.w = w, m.para.dH = dH, m.para.dS = dS;
  return m;
}

// The critical temperature of the pair model: -w / (2 ln 1.5).
inline double Tc(double w) { return -w / (2.0 * std::log(1.5)); }

// The lowest free energy along a dense scan of the fluid fraction, the pair
// probability at its optimum for each x (the free energy is convex in it).
inline double ScanMinimum(const Model& m, double* x_at) {
  double best = 1e300;
  const int n = 2000;
  for (int k = 1; k < n; ++k) {
    const double x = static_cast<double>(k) / n;
    const double lo = std::fmax(0.0, 2.0 * x - 1.0), hi = x;
    auto f = [&m, x](double q) {
      StateVec p;
      p[1] = x, p[2] = q;
      return FreeCalc(m, p);
    };
    const auto r = boost::math::tools::brent_find_minima(f, lo + 1e-15, hi - 1e-15, 50);
    if (r.second < best) best = r.second, *x_at = x;
  }
  return best;
}

}  // namespace chainmelt::testing
