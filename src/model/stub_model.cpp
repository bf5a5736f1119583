// Placeholder definitions until the lattice model lands; delete with it.
#include "model/model.hpp"

namespace chainmelt {
bool Check(const Model&, const StateVec&, int) { return false; }
void Init(const Model&, StateVec&, int, std::int32_t*) {}
void InitLipidPhase(const Model&, StateVec&, int, double, std::int32_t*) {}
double fak(double) { return 1.0; }
double FreeCalc(const Model&, const StateVec&) { return kSentinel; }
void DerCalc(const Model& m, const StateVec&, StateVec& g) {
  for (int i = 1; i <= m.n0; ++i) g[i] = 0.0;
}
double ThetaCalc(const Model&, const StateVec&) { return kSentinel; }
}  // namespace chainmelt
