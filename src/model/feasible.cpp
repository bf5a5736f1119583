// Feasible region and random starting states.
//
// A state is feasible when every site fraction and pair probability of its
// variant is strictly positive.  Every test is a strict comparison, so a NaN
// anywhere makes the state infeasible.  The starting states take one ran0
// draw per drawn component, in index order; the order and number of draws
// fix the whole sequence of states of a run.
#include <cmath>

#include "model/model.hpp"
#include "model/terms.hpp"
#include "numeric/ran0.hpp"

namespace chainmelt {

bool Check(const Model& m, const StateVec& p, int n) {
  const Para& para = m.para;

  // Ligand-activity mode: p1 is the fluid fraction, p2 is unbounded.
  // p2 of the ligand-activity mode may take any real value, but not NaN: a
  // NaN state has no free energy and must not reach the minimiser.
  if (IsAltMode(para)) return n == 2 && p[1] > 0.0 && p[1] < 1.0 && !std::isnan(p[2]);

  switch (n) {
    case 1:
      return p[1] > 0.0 && 1.0 - p[1] > 0.0;
    case 2: {
      // p1 > 0 and 1 - p1 > 0 follow from these three.
      const terms::Frac2 d = terms::Fractions2(p);
      return p[2] > 0.0 && d.fg > 0.0 && d.gg > 0.0;
    }
    case 4: {
      const terms::Frac4 d = terms::Fractions4(p, para.conc);
      return p[1] > 0.0 && p[2] > 0.0 && p[3] > 0.0 && p[4] > 0.0 && d.xg > 0.0 &&
             d.gg > 0.0 && d.fg > 0.0 && d.sg > 0.0;
    }
    case 5: {
      const terms::Frac5 d = terms::Fractions5(p);
      return p[1] > 0.0 && p[2] > 0.0 && p[3] > 0.0 && p[4] > 0.0 && p[5] > 0.0 &&
             d.xg > 0.0 && d.gg > 0.0 && d.fg > 0.0 && d.sg > 0.0;
    }
    case 8: {
      for (int i = 1; i <= 8; ++i) {
        if (!(p[i] > 0.0)) return false;
      }
      const terms::Frac8 d = terms::Fractions8(p, para.conc2);
      return d.xA > 0.0 && d.xB > 0.0 && d.Ga > 0.0 && d.Ha > 0.0 && d.Gb > 0.0 && d.Hb > 0.0;
    }
    default:
      return false;  // no model, no feasible state
  }
}

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
