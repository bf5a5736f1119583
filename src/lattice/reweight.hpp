// Multiple-histogram reweighting of the measured series onto temperatures
// between the simulated ones.
#pragma once

#include <cstdint>
#include <vector>

#include "lattice/lattice.hpp"

namespace chainmelt::lattice {

// The measured series of every simulated temperature, in increasing order of
// temperature, each `n` sweeps long.
struct Series {
  std::vector<double> T;
  std::vector<std::vector<std::int32_t>> nf, nff;
  long n = 0;
};

// Reduced free-energy differences f_{k+1} - f_k (f = -ln Z, the dS N_f part
// of the weight included) between neighbouring temperatures, each from the
// two series alone by the acceptance-ratio equation (equal sample counts):
//   sum_{x in k} F(du(x) - df) = sum_{x in k+1} F(df - du(x)),
// F(a) = 1/(1 + e^a), du = (1/T_{k+1} - 1/T_k) E.
std::vector<double> NeighbourFreeEnergies(const Couplings& c, const Series& s);

// The observables at every temperature of `curve` (each within the simulated
// range): the samples of the (up to) four simulated temperatures around it,
// weighted as in the multiple-histogram equations with the free energies
// above.  Errors by jackknife over `blocks` time blocks (the free energies
// held fixed); tau_E, tau_Nf are 0; `reliable` needs reliable neighbouring
// points and an effective sample count of at least a tenth of one series.
std::vector<Point> ReweightCurve(const Couplings& c, long N, const Series& s, const std::vector<Point>& simulated,
                                 const std::vector<double>& curve, int blocks);

}  // namespace chainmelt::lattice
