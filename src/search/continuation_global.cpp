// The one place that asks the global search for the minima at a point, and
// this unit's own starts where that search fails.
#include <cmath>

#include "model/model.hpp"
#include "numeric/fatal.hpp"
#include "search/continuation_detail.hpp"
#include "search/equilibrium.hpp"

namespace chainmelt::cont {

namespace {

constexpr int kPolishIter = 60;
constexpr int kPolishHalvings = 60;

}  // namespace

GlobalSearch::GlobalSearch() : rs_(std::make_unique<RunState>()) {}
GlobalSearch::~GlobalSearch() = default;

namespace {

// Adds the minimum (q, f) to out unless it is one already there.
void AddDistinct(const Model& m, const StateVec& q, double f, Min* out, int& n) {
  for (int j = 0; j < n; ++j) {
    if (SameState(m, q, out[j].p)) {
      if (f < out[j].F) out[j].p = q, out[j].F = f;
      return;
    }
  }
  if (n < kMaxGlobal) out[n].p = q, out[n].F = f, ++n;
}

// Starts of this unit, used where the global search itself fails: a grid of
// fluid fractions (and component fractions for n0 = 5) with the pair
// probabilities at random mixing, each minimised on its own.
int OwnStarts(const Model& m, Min* out, int& failed, int& iterations, Work& w) {
  int n = 0;
  const Para& pa = m.para;
  constexpr int kLine = 9;
  for (int i = 1; i <= kLine; ++i) {
    for (int j = 1; j <= (m.n0 == 5 || m.n0 == 8 ? 3 : 1); ++j) {
      const double u = (i - 0.5) / kLine, v = (j - 0.5) / 3.0;
      StateVec s;
      switch (m.n0) {
        case 1: s[1] = u; break;
        case 2: s[1] = u, s[2] = u * u; break;
        case 4: {
          const double x = u * (1.0 - pa.conc), c = pa.conc;
          s[1] = x, s[2] = x * x, s[3] = x * c, s[4] = c * c;
          break;
        }
        case 5: {
          const double c = v * 0.9, x = u * (1.0 - c);
          s[1] = x, s[2] = c, s[3] = x * x, s[4] = x * c, s[5] = c * c;
          break;
        }
        case 8: {
          const double b = pa.conc2, a = u * (1.0 - b), f = v * b;
          const double ag = (1.0 - b) - a, bg = b - f;
          s[1] = a, s[2] = f, s[3] = a * a, s[4] = f * f, s[5] = ag * bg, s[6] = f * ag;
          s[7] = a * bg, s[8] = a * f;
          break;
        }
        default: return 0;
      }
      double f = 0.0;
      int steps = 0;
      if (MinimiserFallback(m, s, f, steps, w)) {
        AddDistinct(m, s, f, out, n);
      } else {
        ++failed;
      }
      iterations += steps;
    }
  }
  return n;
}

}  // namespace

int GlobalSearch::Find(const Model& m, Min* out, int& failed_starts, int& iterations, Work& w) {
  RunState& rs = *rs_;
  if (!work_ || rs.n0 != m.n0) work_ = std::make_unique<HesseWork>(m.n0);
  static_cast<Model&>(rs) = m;
  int n = 0;
  try {
    // The global search of the equilibrium search (every start of its grid),
    // with every distinct minimum it found.
    // Damped Newton from each start first, conjugate gradients where it fails.
    EquilibriumOptions options;
    if (Trackable(m)) {
      options.first = [&w](const Model& mm, StateVec& p, double& f, int& steps) {
        return NewtonMin(mm, p, f, kPolishIter, kPolishHalvings, steps, w) ==
               NewtonStatus::kConverged;
      };
    }
    const EquilibriumResult r = StepOrderEquilibrium(rs, *work_, options);
    iterations += r.lowest.iter;
    if (r.minima == 0 || r.lowest.f == kSentinel) return 0;
    // The lowest first: it is kept even where it cannot be polished.
    int order[kMaxGridStarts];
    int count = 0;
    int lowest = -1;
    for (int j = 0; j < r.minima; ++j) {
      if (lowest < 0 && SameState(m, r.distinct[j].p, r.lowest.p)) lowest = j;
    }
    if (lowest >= 0) order[count++] = lowest;
    for (int j = 0; j < r.minima; ++j)
      if (j != lowest) order[count++] = j;
    for (int k = 0; k < count; ++k) {
      const int j = order[k];
      const bool is_lowest = j == lowest;
      StateVec s = r.distinct[j].p;
      double f = FreeCalc(m, s);
      if (Trackable(m)) {
        int steps = 0;
        StateVec t = s;
        double ft = f;
        // Polished to this unit's tolerance.  A state Newton cannot polish is
        // no minimum (a run that stalled) unless it is the search's lowest,
        // which is kept as the search left it.
        const bool polished =
            NewtonMin(m, t, ft, kPolishIter, kPolishHalvings, steps, w) == NewtonStatus::kConverged;
        iterations += steps;
        if (polished && ft <= f) {
          s = t, f = ft;
        } else if (!polished && !is_lowest) {
          continue;
        }
      }
      AddDistinct(m, s, f, out, n);
    }
  } catch (const FatalError&) {
    // One of its runs failed and took the search with it: the failed start
    // is counted, and this unit's own starts take over, each on its own.
    ++failed_starts;
    if (!Trackable(m)) return 0;
    n = OwnStarts(m, out, failed_starts, iterations, w);
  }
  return n;
}

}  // namespace chainmelt::cont
