// Feasible region and random starting states.
//
// A state is feasible when every site fraction and pair probability of its
// variant is strictly positive.  Every test is a strict comparison, so a NaN
// anywhere makes the state infeasible.  The starting states take one ran0
// draw per drawn component, in index order; the order and number of draws
// fix the whole sequence of states of a run.
#include "model/model.hpp"
#include "model/terms.hpp"
#include "numeric/ran0.hpp"

namespace chainmelt {

// The test itself lives in terms.hpp, where the free energy and its gradient
// inline it.
bool Check(const Model& m, const StateVec& p, int n) { return terms::Feasible(m, p, n); }

void Init(const Model& m, StateVec& p, int n, std::int32_t* idum) {
  const Para& para = m.para;

  if (IsAltMode(para)) {
    if (n == 2) {
      p[1] = 0.5 * ran0(idum);
      p[2] = 0.0;
    }
    return;
  }

  switch (n) {
    case 1:
      p[1] = 0.5 * ran0(idum);
      break;
    case 2:
      p[1] = 0.5 * ran0(idum);
      p[2] = 0.2 * ran0(idum);
      break;
    case 4:
      p[1] = 0.5 * ran0(idum);
      for (int i = 2; i <= 4; ++i) p[i] = 0.2 * ran0(idum);
      break;
    case 5:
      p[1] = 0.5 * ran0(idum);
      p[2] = 0.5 * ran0(idum);
      for (int i = 3; i <= 5; ++i) p[i] = 0.2 * ran0(idum);
      break;
    case 8: {
      const double b = para.conc2;
      p[1] = (1.0 - b) * 0.5 * ran0(idum);
      p[2] = b * 0.5 * ran0(idum);
      p[3] = (1.0 - b) * 0.2 * ran0(idum);
      for (int i = 4; i <= 8; ++i) p[i] = b * 0.2 * ran0(idum);
      break;
    }
    default:
      break;  // no model: nothing written, nothing drawn
  }
}

void InitLipidPhase(const Model& m, StateVec& p, int n, double x, std::int32_t* idum) {
  const Para& para = m.para;

  switch (n) {
    case 1:
      p[1] = x;
      break;
    case 2:
      p[1] = x;
      p[2] = 0.2 * ran0(idum);
      break;
    case 4: {
      // Pair probabilities up to twice their random-mixing values x^2 and
      // x*conc, component pairs up to their random-mixing value conc^2.
      const double conc = para.conc;
      p[1] = x;
      p[2] = 2.0 * (x * x) * ran0(idum);
      p[3] = 2.0 * x * conc * ran0(idum);
      p[4] = (conc * conc) * ran0(idum);
      break;
    }
    case 5:
      p[1] = x;
      p[2] = 0.5 * ran0(idum);
      for (int i = 3; i <= 5; ++i) p[i] = 0.2 * ran0(idum);
      break;
    case 8: {
      const double b = para.conc2;
      p[1] = x;
      p[2] = b * 0.5 * ran0(idum);
      p[3] = (1.0 - b) * 0.2 * ran0(idum);
      for (int i = 4; i <= 8; ++i) p[i] = b * 0.2 * ran0(idum);
      break;
    }
    default:
      break;
  }
}

}  // namespace chainmelt
