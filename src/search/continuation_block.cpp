// Tracking of one block: the minima of its first point followed forward,
// every minimum a global search finds followed back, and the crossings where
// the lowest passes from one minimum to another.
#include "search/continuation_block.hpp"

#include <cmath>
#include <cstdint>
#include <exception>
#include <utility>

#include <boost/math/tools/roots.hpp>

#include "model/model.hpp"

namespace chainmelt::cont {

namespace {

constexpr std::uintmax_t kRootIterations = 80;

}  // namespace

// Global minima at local point k: each one already followed improves it when
// lower; every other one becomes a new branch.
void Tracker::AddMinima(BlockOut& o, int k, const Min* mins, int n, bool* born) {
  const Model m = At(xs_[i0_ + k]);
  for (int j = 0; j < n; ++j) {
    int same = -1;
    for (int s = 0; s < o.slots && same < 0; ++s)
      if (Has(o, k, s) && SameState(m, mins[j].p, o.p[Idx(k, s)])) same = s;
    if (same >= 0) {
      if (mins[j].F < o.F[Idx(k, same)]) Put(o, k, same, mins[j].p, mins[j].F);
    } else if (o.slots < kSlots) {
      Grow(o, o.slots + 1);
      Put(o, k, o.slots, mins[j].p, mins[j].F);
      born[o.slots++] = true;
    }
  }
}

bool Tracker::Step(BlockOut& o, int s, int from, int to, StateVec& q, double& f, int& steps) {
  q = o.p[Idx(from, s)];
  f = o.F[Idx(from, s)];
  const int back = from + (from - to);
  const double x0 = xs_[i0_ + from], x1 = xs_[i0_ + to];
  if (back >= 0 && back < o.len && Has(o, back, s) && xs_[i0_ + back] != x0) {
    const double r = (x1 - x0) / (x0 - xs_[i0_ + back]);
    StateVec guess;
    const StateVec& b = o.p[Idx(back, s)];
    for (int i = 1; i <= base_.n0; ++i) guess[i] = q[i] + (q[i] - b[i]) * r;
    return Continue(base_, var_, x0, x1, q, f, steps, w_, &guess);
  }
  return Continue(base_, var_, x0, x1, q, f, steps, w_);
}

// Follows the branch s, born at local point k, back towards the block's
// start until it vanishes or meets another branch.  Where it meets a branch
// that ended right there, it is that branch's continuation and takes its
// slot.
void Tracker::Backward(BlockOut& o, int k, int s) {
  for (int j = k - 1; j >= 0; --j) {
    StateVec q;
    double f = 0.0;
    int steps = 0;
    const bool ok = Step(o, s, j + 1, j, q, f, steps);
    o.iters[j] += steps;
    if (!ok) return;
    const Model m = At(xs_[i0_ + j]);
    for (int t = 0; t < o.slots; ++t) {
      if (t == s || !Has(o, j, t) || !SameState(m, q, o.p[Idx(j, t)])) continue;
      bool ended = true;
      for (int i = j + 1; i < o.len && ended; ++i) ended = !Has(o, i, t);
      if (ended) {
        for (int i = j + 1; i < o.len; ++i) {
          if (!Has(o, i, s)) continue;
          Put(o, i, t, o.p[Idx(i, s)], o.F[Idx(i, s)]);
          o.present[Idx(i, s)] = 0;
        }
      }
      return;
    }
    Put(o, j, s, q, f);
  }
}

void Tracker::Track(const BlockIn& in, BlockOut& o) {
  i0_ = in.i0;
  const int len = in.i1 - in.i0 + 1;
  o.len = len;
  o.slots = 0;
  len_ = len;
  o.present.clear();
  o.p.clear();
  o.F.clear();
  o.iters.assign(static_cast<std::size_t>(len), 0);
  o.global.assign(static_cast<std::size_t>(len), 0);
  o.eq.assign(static_cast<std::size_t>(len), -1);
  o.global[0] = 1;
  o.global[static_cast<std::size_t>(len - 1)] = 1;

  bool born[kSlots] = {};
  AddMinima(o, 0, in.g0, in.n0, born);
  for (int s = 0; s < kSlots; ++s) born[s] = false;
  Min found[kMaxGlobal];

  for (int k = 1; k < len; ++k) {
    const int before = o.slots;
    Min fallback[kMaxGlobal];
    int fallbacks = 0;
    // Nothing to follow: a global search looks again.
    bool event = true;
    for (int s = 0; s < before && event; ++s) event = !Has(o, k - 1, s);
    for (int s = 0; s < before; ++s) {
      if (!Has(o, k - 1, s)) continue;
      StateVec q;
      double f = 0.0;
      int steps = 0;
      if (Step(o, s, k - 1, k, q, f, steps)) {
        Put(o, k, s, q, f);
      } else {
        // Vanished, or its Hessian turned indefinite, or Newton failed: the
        // minimiser goes on from the last state, and what it finds joins
        // the global search's minima here as a minimum of its own.
        event = true;
        q = o.p[Idx(k - 1, s)];
        if (fallbacks < kMaxGlobal && MinimiserFallback(At(xs_[i0_ + k]), q, f, steps, w_))
          fallback[fallbacks].p = q, fallback[fallbacks++].F = f;
      }
      o.iters[k] += steps;
    }
    // Two branches that became one: the one that moved farther joined the other.
    const Model m = At(xs_[i0_ + k]);
    for (int s = 0; s < o.slots; ++s) {
      for (int t = s + 1; t < o.slots; ++t) {
        if (!Has(o, k, s) || !Has(o, k, t) || !SameState(m, o.p[Idx(k, s)], o.p[Idx(k, t)]))
          continue;
        double ms = 0.0, mt = 0.0;
        for (int i = 1; i <= m.n0; ++i) {
          ms = std::fmax(ms, std::fabs(o.p[Idx(k, s)][i] - o.p[Idx(k - 1, s)][i]));
          mt = std::fmax(mt, std::fabs(o.p[Idx(k, t)][i] - o.p[Idx(k - 1, t)][i]));
        }
        o.present[Idx(k, ms > mt ? s : t)] = 0;
        event = true;
      }
    }
    for (int s = 0; s < kSlots; ++s) born[s] = false;
    if (k == len - 1) {
      AddMinima(o, k, in.g1, in.n1, born);
    } else if (event) {
      int iters = 0;
      const int n = gs_.Find(m, found, o.failed, iters, w_);
      ++o.global_searches;
      o.global[k] = 1;
      o.iters[k] += iters;
      AddMinima(o, k, found, n, born);
    }
    AddMinima(o, k, fallback, fallbacks, born);
    for (int s = 0; s < o.slots; ++s)
      if (born[s]) Backward(o, k, s);
  }

  // The equilibrium at every point, and the crossings between them.
  for (int k = 0; k < len; ++k) {
    int best = -1;
    for (int s = 0; s < o.slots; ++s)
      if (Has(o, k, s) && (best < 0 || o.F[Idx(k, s)] < o.F[Idx(k, best)])) best = s;
    o.eq[k] = best;
  }
  o.jumps.clear();
  o.unresolved = 0;
  std::vector<unsigned char> unresolved(static_cast<std::size_t>(len), 0);
  for (int k = 0; k + 1 < len; ++k) {
    if (o.eq[k] < 0 || o.eq[k + 1] < 0 || o.eq[k] == o.eq[k + 1]) continue;
    Jump j;
    const Cross c = Crossing(o, k, o.eq[k], o.eq[k + 1], j);
    if (c == Cross::kJump) o.jumps.push_back(j);
    if (c == Cross::kUnresolved) ++o.unresolved, unresolved[k + 1] = 1;
  }
  o.points.assign(static_cast<std::size_t>(len), CurvePoint{});
  for (int k = 0; k < len; ++k) {
    CurvePoint& c = o.points[k];
    c.x = xs_[i0_ + k];
    c.iterations = o.iters[k];
    c.global = o.global[k] != 0;
    c.unresolved = unresolved[k] != 0;
    for (int s = 0; s < o.slots; ++s) c.minima += Has(o, k, s) ? 1 : 0;
    const int s = o.eq[k];
    if (s < 0) {
      c.F = kSentinel;
      continue;
    }
    const Model mk = At(c.x);
    c.ok = true;
    c.p = o.p[Idx(k, s)];
    c.F = o.F[Idx(k, s)];
    c.U = Energy(mk, c.p);
    c.Cp = HeatCapacity(mk, c.p, w_);
    c.branch = s;
  }
}

// The crossing of branch a (the lowest at local point k) and b (the lowest at
// k + 1): the root of G = F_b - F_a, each branch continued from the end where
// it is the lowest.  Where one of them cannot be continued, G takes the sign
// that keeps the bracket (the branch is gone on that side of the crossing).
Tracker::Cross Tracker::Crossing(const BlockOut& o, int k, int a, int b, Jump& j) {
  const double x0 = xs_[i0_ + k], x1 = xs_[i0_ + k + 1];
  const StateVec pa = o.p[Idx(k, a)], pb = o.p[Idx(k + 1, b)];
  const double Fa = o.F[Idx(k, a)], Fb = o.F[Idx(k + 1, b)];
  const double big = Scale(At(x0));
  StateVec qa, qb;
  double fa = 0.0, fb = 0.0;
  auto both = [&](double x) {
    qa = pa, fa = Fa, qb = pb, fb = Fb;
    int steps = 0;
    const bool oka = Continue(base_, var_, x0, x, qa, fa, steps, w_);
    const bool okb = Continue(base_, var_, x1, x, qb, fb, steps, w_);
    return std::make_pair(oka, okb);
  };
  auto G = [&](double x) {
    const auto ok = both(x);
    if (ok.first && ok.second) return fb - fa;
    return ok.first ? big : -big;
  };
  const double glo = Has(o, k, b) ? o.F[Idx(k, b)] - Fa : big;
  const double ghi = Has(o, k + 1, a) ? Fb - o.F[Idx(k + 1, a)] : -big;
  if (glo < 0.0 || ghi > 0.0) return Cross::kUnresolved;
  double root = x0;
  if (glo == 0.0) {
    root = x0;
  } else if (ghi == 0.0) {
    root = x1;
  } else {
    std::uintmax_t it = kRootIterations;
    try {
      const auto r = boost::math::tools::toms748_solve(
          G, x0, x1, glo, ghi, boost::math::tools::eps_tolerance<double>(48), it);
      root = 0.5 * (r.first + r.second);
    } catch (const std::exception&) {
      return Cross::kUnresolved;
    }
  }
  const auto ok = both(root);
  const Model m = At(root);
  if (!ok.first || !ok.second) return Cross::kUnresolved;
  if (SameState(m, qa, qb)) return Cross::kContinuous;  // they became one minimum
  j.after = i0_ + k;
  j.x = root;
  j.from = a, j.to = b;
  j.F = fa;
  j.p_from = qa, j.p_to = qb;
  j.U_from = Energy(m, qa), j.U_to = Energy(m, qb);
  j.latent = j.U_to - j.U_from;
  j.Cp_from = HeatCapacity(m, qa, w_);
  j.Cp_to = HeatCapacity(m, qb, w_);
  return Cross::kJump;
}

}  // namespace chainmelt::cont
