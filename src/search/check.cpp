#include "search/check.hpp"

#include <cmath>
#include <cstdio>

#include "model/model.hpp"
#include "model/variants.hpp"

namespace chainmelt {

namespace {

// Fraction of the minority species in the almost pure limits.
constexpr double kPure = 1e-9;

}  // namespace

std::string CheckEquilibrium(const Model& m, const StateVec& p, double f) {
  if (IsAltMode(m.para) || !Check(m, p, m.n0)) return "";
  const Para& pa = m.para;
  // The energy scale of the model at this temperature.
  const double scale = std::fabs(pa.dH) + std::fabs(m.T * pa.dS) + 3.0 * std::fabs(pa.w) +
                       3.0 * std::fabs(pa.w2) + 6.0 * std::fabs(pa.w3) + std::fabs(pa.e2) +
                       std::fabs(pa.dH2) + std::fabs(m.T * pa.dS2) + m.T;
  char why[200];
  for (const double fluid : {kPure, 1.0 - kPure}) {
    StateVec q;
    AlmostPureState(m, fluid, kPure, q);
    const double fq = FreeCalc(m, q);
    if (fq != kSentinel && f > fq + 1e-9 * scale) {
      std::snprintf(why, sizeof why, "the almost pure %s state has the lower F = %f",
                    fluid < 0.5 ? "gel" : "fluid", fq);
      return why;
    }
  }
  StateVec g;
  DerCalc(m, p, g);
  // A component next to the edge of the region can move only as far as the
  // edge: the gradient is weighed by that room, which estimates the free
  // energy still to be gained.
  for (int i = 1; i <= m.n0; ++i) {
    const double room = std::fmin(std::fabs(p[i]), std::fabs(1.0 - p[i]));
    if (!(std::fabs(g[i]) * room <= 1e-6 * scale)) {
      std::snprintf(why, sizeof why, "the state is not stationary (dF/dp%d = %g at p%d = %g)", i,
                    g[i], i, p[i]);
      return why;
    }
  }
  return "";
}

}  // namespace chainmelt
