// Binding degree of the mean-field ligand model (n0 = 1): the mean occupancy
// of a binding spot, averaged over the compositions of the nu + 1 chains a
// ligand covers.
#include <cmath>

#include "model/model.hpp"
#include "model/terms.hpp"

namespace chainmelt {

double ThetaCalc(const Model& m, const StateVec& p) {
  if (!Check(m, p, m.n0) || m.n0 != 1) return kSentinel;

  const Para& para = m.para;
  const double x = p[1];
  const double N = para.nu + 1.0;
  const double eps = para.dH2 - m.T * para.dS2;
  const double z = para.z;

  // Occupancy z e^(-a) / (1 + z e^(-a)) of a spot over k gel and N - k fluid
  // chains, written z / (e^a + z).  With z = 0 a spot is empty whatever its
  // Boltzmann factor, also where e^a underflows to 0 (the quotient 0 / 0).
  double theta = 0.0;
  for (double k = 0.0; k <= N && !std::isnan(theta); k += 1.0) {
    const double den = std::exp((N - k) * eps / m.T) + z;
    if (z == 0.0 && den == 0.0) continue;
    theta += terms::LigandWeight(N, k, x) * z / den;
  }
  return theta;
}

}  // namespace chainmelt
