// The parameter record and the model a routine of the lattice model reads.
#pragma once

#include <string>

namespace chainmelt {

// Free energy returned for every state outside the feasible region.
inline constexpr double kSentinel = 42.0;
// Value of para.mode that selects the alternative (ligand-activity) mode.
inline constexpr double kAltMode = 42.1;

struct Para {
  double w = 0;      // fluid-fluid nearest-neighbour interaction
  double w2 = 0;     // component-component interaction
  double dH = 0;     // melting enthalpy of one chain
  double dS = 0;     // melting entropy of one chain
  double Tm = 0;     // transition temperature (derivation of dS only)
  double dHcal = 0;  // calorimetric enthalpy (derivation of dH and dS only)
  double e2 = 0;     // energy per unit fraction of the second component
  double w3 = 0;     // fluid-component interaction
  double dH2 = 0;    // binding enthalpy per fluid chain / extra enthalpy of population B
  double dS2 = 0;    // entropy counterpart of dH2
  double zsave = 0;  // holding slot of the ligand-size task
  double conc = 0;   // fraction of the second component
  double conc2 = 0;  // fraction of population B / linear coefficient in the alternative mode
  double z = 0;      // ligand activity
  double nu = 0;     // ligand size: a ligand covers nu + 1 chains
  double mode = 0;   // 42.1 selects the alternative mode
  std::string sweep; // "H" sweeps dH, anything else sweeps T
};

// What every routine of the lattice model reads: the variant, the temperature
// and the parameters.
struct Model {
  int n0 = 0;
  double T = 0;
  Para para;
};

inline bool IsAltMode(const Para& para) { return para.mode == kAltMode; }
// Asked at every sweep point: compared without a string comparison.
inline bool IsEnthalpySweep(const Para& para) {
  return para.sweep.size() == 1 && para.sweep[0] == 'H';
}

}  // namespace chainmelt
