// Equilibrium curves by continuation: blocks, branches, crossings.
//
// A sweep of N points is cut into blocks of `block` points that share their
// end points: [0, B], [B, 2B], ...  First the global search runs at every
// block boundary; then every block is tracked on its own: the minima found at
// its first point are continued forward point by point, a minimum that cannot
// be continued ends there (and a global search runs at that point), two that
// become one are one, and every minimum a global search finds that is not
// tracked yet is continued backward until it vanishes and forward from there.
// Last, the branches of neighbouring blocks are matched at their shared
// point, and every change of the lowest branch between two points is turned
// into a crossing by TOMS 748.  Which thread ran a block changes nothing.
#include "search/continuation.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <thread>
#include <utility>

#include <boost/math/tools/roots.hpp>

#include "model/model.hpp"
#include "search/continuation_detail.hpp"

namespace chainmelt {

using namespace cont;

namespace {

constexpr int kSlots = 64;  // distinct minima one block can follow
constexpr std::uintmax_t kRootIterations = 80;

struct BlockIn {
  int i0 = 0, i1 = 0;
  const Min* g0 = nullptr;
  int n0 = 0;
  const Min* g1 = nullptr;
  int n1 = 0;
};

struct BlockOut {
  int len = 0;
  int slots = 0;
  // Slot-major: [s * len + k]; a slot gets its storage when its branch is born.
  std::vector<unsigned char> present;
  std::vector<StateVec> p;
  std::vector<double> F;
  std::vector<int> iters;
  std::vector<unsigned char> global;
  std::vector<int> eq;  // slot of the equilibrium, -1 where none
  std::vector<CurvePoint> points;
  std::vector<Jump> jumps;  // from/to are slots
  int global_searches = 0;
  int failed = 0;
};

class Tracker {
 public:
  Tracker(const Model& base, const std::vector<double>& xs, SweepVar var)
      : base_(base), xs_(xs), var_(var) {}

  Model At(double x) const {
    Model m = base_;
    SetSweep(m, var_, x);
    return m;
  }

  void Global(int i, std::vector<Min>& out, int& failed, int& iters) {
    Min found[kMaxGlobal];
    const int n = gs_.Find(At(xs_[i]), found, failed, iters, w_);
    out.assign(found, found + n);
  }

  void Track(const BlockIn& in, BlockOut& o);

 private:
  int Idx(int k, int s) const { return s * len_ + k; }
  bool Has(const BlockOut& o, int k, int s) const { return o.present[Idx(k, s)] != 0; }
  void Grow(BlockOut& o, int slots) {
    const std::size_t n = static_cast<std::size_t>(slots) * static_cast<std::size_t>(len_);
    o.present.resize(n, 0);
    o.p.resize(n, StateVec{});
    o.F.resize(n, 0.0);
  }
  void Put(BlockOut& o, int k, int s, const StateVec& p, double F) {
    o.present[Idx(k, s)] = 1;
    o.p[Idx(k, s)] = p;
    o.F[Idx(k, s)] = F;
  }
  void AddMinima(BlockOut& o, int k, const Min* mins, int n, bool* born);
  // The branch s continued from local point from to local point to, with the
  // straight-line extrapolation of its last two points as the first guess.
  bool Step(BlockOut& o, int s, int from, int to, StateVec& q, double& f, int& steps);
  void Backward(BlockOut& o, int k, int s);
  bool Crossing(const BlockOut& o, int k, int a, int b, Jump& j);

  const Model& base_;
  const std::vector<double>& xs_;
  SweepVar var_;
  int i0_ = 0;
  int len_ = 0;
  GlobalSearch gs_;
  Work w_;
};

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
  for (int k = 0; k + 1 < len; ++k) {
    Jump j;
    if (o.eq[k] >= 0 && o.eq[k + 1] >= 0 && o.eq[k] != o.eq[k + 1] &&
        Crossing(o, k, o.eq[k], o.eq[k + 1], j))
      o.jumps.push_back(j);
  }
  o.points.assign(static_cast<std::size_t>(len), CurvePoint{});
  for (int k = 0; k < len; ++k) {
    CurvePoint& c = o.points[k];
    c.x = xs_[i0_ + k];
    c.iterations = o.iters[k];
    c.global = o.global[k] != 0;
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
bool Tracker::Crossing(const BlockOut& o, int k, int a, int b, Jump& j) {
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
  if (glo < 0.0 || ghi > 0.0) return false;
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
      return false;
    }
  }
  const auto ok = both(root);
  const Model m = At(root);
  if (!ok.first || !ok.second || SameState(m, qa, qb)) return false;  // one minimum: continuous
  j.after = i0_ + k;
  j.x = root;
  j.from = a, j.to = b;
  j.F = fa;
  j.p_from = qa, j.p_to = qb;
  j.U_from = Energy(m, qa), j.U_to = Energy(m, qb);
  j.latent = j.U_to - j.U_from;
  j.Cp_from = HeatCapacity(m, qa, w_);
  j.Cp_to = HeatCapacity(m, qb, w_);
  return true;
}

// Runs f(i) for i = 0 .. n-1 on `threads` threads; each thread takes the next
// index.  The first exception is passed on after every thread has ended.
template <class MakeWorker>
void Parallel(int n, int threads, MakeWorker make) {
  std::atomic<int> next{0};
  std::exception_ptr error;
  std::atomic<bool> failed{false};
  auto run = [&] {
    try {
      auto work = make();
      for (int i = next++; i < n && !failed; i = next++) work(i);
    } catch (...) {
      if (!failed.exchange(true)) error = std::current_exception();
    }
  };
  const int t = std::max(1, std::min(threads, n));
  std::vector<std::thread> pool;
  for (int k = 1; k < t; ++k) pool.emplace_back(run);
  run();
  for (auto& th : pool) th.join();
  if (error) std::rethrow_exception(error);
}

}  // namespace

Curve TrackCurve(const Model& model, const std::vector<double>& xs,
                 const ContinuationOptions& options) {
  for (std::size_t i = 1; i < xs.size(); ++i)
    if (!(xs[i] >= xs[i - 1])) throw std::invalid_argument("sweep values must be sorted ascending");
  Curve c;
  const int N = static_cast<int>(xs.size());
  if (N == 0) return c;
  const int B = std::max(1, options.block);
  const SweepVar var = options.var;

  bool trackable = true;
  for (const double x : xs) {
    Model m = model;
    SetSweep(m, var, x);
    trackable = trackable && Trackable(m);
  }

  // Block boundaries, and the global search at each of them (or at every
  // point where nothing can be followed).
  std::vector<int> at;
  if (trackable) {
    for (int i = 0; i < N - 1; i += B) at.push_back(i);
    at.push_back(N - 1);
  } else {
    for (int i = 0; i < N; ++i) at.push_back(i);
  }
  const int nb = static_cast<int>(at.size());
  std::vector<std::vector<Min>> g(static_cast<std::size_t>(nb));
  std::vector<int> failed(static_cast<std::size_t>(nb), 0), iters(static_cast<std::size_t>(nb), 0);
  Parallel(nb, options.threads, [&] {
    auto t = std::make_shared<Tracker>(model, xs, var);
    return [&, t](int b) { t->Global(at[b], g[b], failed[b], iters[b]); };
  });
  c.global_searches = nb;
  for (const int f : failed) c.failed_starts += f;
  c.points.assign(static_cast<std::size_t>(N), CurvePoint{});

  if (!trackable) {
    Work w;
    for (int i = 0; i < N; ++i) {
      CurvePoint& p = c.points[i];
      p.x = xs[i], p.global = true, p.iterations = iters[i], p.F = kSentinel;
      p.minima = static_cast<int>(g[i].size());
      if (g[i].empty()) continue;
      Model m = model;
      SetSweep(m, var, xs[i]);
      const Min* best = &g[i][0];
      for (const Min& q : g[i])
        if (q.F < best->F) best = &q;
      p.ok = true, p.p = best->p, p.F = best->F, p.branch = -1;
      p.U = IsAltMode(m.para) ? 0.0 : Energy(m, p.p);
      p.Cp = IsAltMode(m.para) || m.n0 == 1 ? 0.0 : HeatCapacity(m, p.p, w);
    }
    return c;
  }

  // Every block on its own.
  const int nblocks = std::max(1, nb - 1);
  std::vector<BlockOut> out(static_cast<std::size_t>(nblocks));
  Parallel(nblocks, options.threads, [&] {
    auto t = std::make_shared<Tracker>(model, xs, var);
    return [&, t](int b) {
      BlockIn in;
      in.i0 = at[b];
      in.i1 = nb == 1 ? at[0] : at[b + 1];
      in.g0 = g[b].data(), in.n0 = static_cast<int>(g[b].size());
      const auto& g1 = g[nb == 1 ? 0 : b + 1];
      in.g1 = g1.data(), in.n1 = static_cast<int>(g1.size());
      t->Track(in, out[b]);
    };
  });

  // Branch numbers over the sweep: a branch at the shared point of two
  // blocks keeps its number.
  int next = 0;
  std::vector<int> prev_id;
  for (int b = 0; b < nblocks; ++b) {
    BlockOut& o = out[b];
    c.global_searches += o.global_searches;
    c.failed_starts += o.failed;
    std::vector<int> id(kSlots, -1);
    if (b > 0) {
      const BlockOut& q = out[b - 1];
      Model m = model;
      SetSweep(m, var, xs[at[b]]);
      const int last = q.len - 1;
      for (int s = 0; s < o.slots; ++s) {
        if (!o.present[s * o.len]) continue;
        for (int t = 0; t < q.slots && id[s] < 0; ++t)
          if (q.present[t * q.len + last] && SameState(m, o.p[s * o.len], q.p[t * q.len + last]))
            id[s] = prev_id[t];
      }
    }
    for (int s = 0; s < o.slots; ++s)
      if (id[s] < 0) id[s] = next++;
    for (int k = 0; k < o.len; ++k) {
      CurvePoint pt = o.points[k];
      if (pt.branch >= 0) pt.branch = id[pt.branch];
      const int i = at[b] + k;
      if (k == 0 && b > 0) {
        // The shared point: the lower of the two blocks' equilibria.
        CurvePoint& have = c.points[i];
        pt.iterations += have.iterations;
        if (!have.ok || (pt.ok && pt.F < have.F)) have = pt;
        have.iterations = pt.iterations;
        have.minima = std::max(have.minima, pt.minima);
        continue;
      }
      c.points[i] = pt;
    }
    for (Jump j : o.jumps) {
      j.from = id[j.from], j.to = id[j.to];
      c.jumps.push_back(j);
    }
    prev_id = id;
  }
  for (int b = 0; b < nb; ++b) c.points[at[b]].iterations += iters[b];
  c.branches = next;
  return c;
}

double IntegratedEnergy(const Curve& c) {
  double sum = 0.0;
  std::size_t j = 0;
  for (std::size_t k = 0; k + 1 < c.points.size(); ++k) {
    const CurvePoint& a = c.points[k];
    const CurvePoint& b = c.points[k + 1];
    if (j < c.jumps.size() && c.jumps[j].after == static_cast<int>(k)) {
      const Jump& J = c.jumps[j++];
      sum += 0.5 * (a.Cp + J.Cp_from) * (J.x - a.x) + J.latent +
             0.5 * (J.Cp_to + b.Cp) * (b.x - J.x);
    } else {
      sum += 0.5 * (a.Cp + b.Cp) * (b.x - a.x);
    }
  }
  return sum;
}

}  // namespace chainmelt
