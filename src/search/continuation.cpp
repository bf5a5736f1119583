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
#include <exception>
#include <stdexcept>
#include <thread>

#include "model/model.hpp"
#include "search/continuation_block.hpp"
#include "search/continuation_detail.hpp"

namespace chainmelt {

using namespace cont;

namespace {

// Runs f(i) for i = 0 .. n-1 on `threads` threads; each thread takes the next
// index, the calling thread calling `poll` (if any) before each of its own.
// The first exception is passed on after every thread has ended.
template <class MakeWorker>
void Parallel(int n, int threads, const std::function<void()>& poll, MakeWorker make) {
  std::atomic<int> next{0};
  std::exception_ptr error;
  std::atomic<bool> failed{false};
  auto run = [&](bool caller) {
    try {
      auto work = make();
      for (int i = next++; i < n && !failed; i = next++) {
        if (caller && poll) poll();
        work(i);
      }
    } catch (...) {
      if (!failed.exchange(true)) error = std::current_exception();
    }
  };
  const int t = std::max(1, std::min(threads, n));
  std::vector<std::thread> pool;
  for (int k = 1; k < t; ++k) pool.emplace_back(run, false);
  run(true);
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
  Parallel(nb, options.threads, options.poll, [&] {
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
  Parallel(nblocks, options.threads, options.poll, [&] {
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
    c.unresolved += o.unresolved;
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
        const bool unresolved = have.unresolved;  // from the interval before it
        if (!have.ok || (pt.ok && pt.F < have.F)) have = pt;
        have.iterations = pt.iterations;
        have.unresolved = unresolved;
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
