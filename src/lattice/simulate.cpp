#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <limits>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "lattice/analysis.hpp"
#include "lattice/kernel.hpp"
#include "lattice/lattice.hpp"
#include "lattice/reweight.hpp"

namespace chainmelt::lattice {

namespace {

constexpr int kMaxL = 3000;
// Bytes the measured series of a run may take (two 32-bit counts per sweep
// and temperature).
constexpr double kMaxSeriesBytes = 2.0 * 1024 * 1024 * 1024;
// The stream of the exchange decisions, apart from every replica's.
constexpr std::uint64_t kExchangeStream = 0xffffffffffffULL;

[[noreturn]] void Refuse(const std::string& what) { throw std::invalid_argument(what); }

// A reusable barrier for a fixed number of threads.  Waiting threads spin
// briefly, then yield, then sleep on a condition variable: the cores may be
// shared, and a thread held back by the system must not be waited for by
// burning the core it needs.
class Barrier {
 public:
  // Sets the number of threads; only before anyone waits.
  void SetCount(int n) { n_ = n; }
  void Wait() {
    const unsigned gen = generation_.load(std::memory_order_acquire);
    if (count_.fetch_add(1, std::memory_order_acq_rel) == n_ - 1) {
      count_.store(0, std::memory_order_relaxed);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        generation_.fetch_add(1, std::memory_order_release);
      }
      cv_.notify_all();
      return;
    }
    for (int spin = 0; spin < 2000; ++spin) {
      if (generation_.load(std::memory_order_acquire) != gen) return;
      if (spin > 100) std::this_thread::yield();
    }
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return generation_.load(std::memory_order_acquire) != gen; });
  }

 private:
  int n_ = 1;
  std::atomic<int> count_{0};
  std::atomic<unsigned> generation_{0};
  std::mutex mutex_;
  std::condition_variable cv_;
};

struct Replica {
  explicit Replica(int L, std::uint64_t seed, std::uint64_t stream) : lat(L), rng(seed, stream) {}
  Lattice lat;
  Rng rng;
  int t = 0;  // index of its temperature, in increasing order
  std::int64_t nf = 0, nff = 0;
};

// A random configuration (every site fluid with probability 1/2) drawn from
// the replica's own stream.
void RandomStart(Replica& r) {
  const int L = r.lat.L();
  for (int y = 0; y < L; ++y)
    for (int x = 0; x < L; ++x) r.lat.Set(x, y, static_cast<std::uint8_t>(r.rng.Next() >> 63));
  r.lat.Count(r.nf, r.nff);
}

bool StopAsked(const Control& control) {
  if (control.stop_flag && control.stop_flag->load(std::memory_order_relaxed)) return true;
  return control.stop && control.stop();
}

double Energy(const Couplings& c, std::int64_t nf, std::int64_t nff) {
  return c.dH * static_cast<double>(nf) + c.w * static_cast<double>(nff);
}

void CheckTemperature(double T, const char* what) {
  if (!(std::isfinite(T) && T > 0))
    Refuse(std::string(what) + " must be a finite temperature above 0, got " + std::to_string(T));
}

Point Analyse(const Couplings& c, double T, long N, const std::vector<std::int32_t>& nf,
              const std::vector<std::int32_t>& nff, long n, int blocks) {
  Point p;
  p.T = T;
  p.samples = n;
  const auto count = static_cast<std::size_t>(n);
  std::vector<double> E(count), F(count), P(count);
  for (std::size_t i = 0; i < count; ++i) {
    E[i] = Energy(c, nf[i], nff[i]);
    F[i] = nf[i];
    P[i] = nff[i];
  }
  const double dN = static_cast<double>(N);
  const Estimate u = MeanOf(E, blocks), v = VarianceOf(E, blocks), x = MeanOf(F, blocks),
                 y = MeanOf(P, blocks);
  p.U = u.value / dN;
  p.U_err = u.err / dN;
  p.Cp = v.value / (dN * T * T);
  p.Cp_err = v.err / (dN * T * T);
  p.x_f = x.value / dN;
  p.x_f_err = x.err / dN;
  p.y_ff = y.value / (3 * dN);
  p.y_ff_err = y.err / (3 * dN);
  const Autocorrelation aE = IntegratedTime(E), aF = IntegratedTime(F);
  p.tau_E = aE.tau;
  p.tau_Nf = aF.tau;
  const double block = static_cast<double>(n / blocks);
  p.reliable = n >= blocks && aE.closed && aF.closed && block >= 10 * std::max(aE.tau, aF.tau);
  return p;
}

}  // namespace

Couplings CouplingsOf(const Model& m) {
  if (m.n0 != 2)
    Refuse("the lattice simulation needs the one-lipid model n0 = 2, got n0 = " + std::to_string(m.n0));
  if (IsAltMode(m.para)) Refuse("the lattice simulation has no ligand-activity mode (mode 42.1)");
  Couplings c{m.para.dH, m.para.dS, m.para.w};
  if (!std::isfinite(c.dH)) Refuse("dH must be finite for the lattice simulation");
  if (!std::isfinite(c.dS)) Refuse("dS must be finite for the lattice simulation");
  if (!std::isfinite(c.w)) Refuse("w must be finite for the lattice simulation");
  return c;
}

std::string CheckSettings(const Settings& s) {
  if (s.L < 6 || s.L % 3 != 0 || s.L > kMaxL)
    return "L must be a multiple of 3 from 6 to " + std::to_string(kMaxL) + " (the three sublattices of "
           "the periodic triangular lattice), got " + std::to_string(s.L);
  if (s.equilibration < 0)
    return "equilibration must be 0 or more sweeps, got " + std::to_string(s.equilibration);
  if (s.blocks < 8 || s.blocks > 1024)
    return "blocks must be from 8 to 1024, got " + std::to_string(s.blocks);
  if (s.sweeps < s.blocks)
    return "sweeps must be at least blocks (" + std::to_string(s.blocks) + ") measured sweeps, got " +
           std::to_string(s.sweeps);
  if (s.sweeps > std::numeric_limits<long>::max() / 2 - s.equilibration)
    return "sweeps + equilibration is too large";
  if (s.exchange_every < 1 || s.exchange_every > 1000000)
    return "exchange_every must be from 1 to 1000000 sweeps, got " + std::to_string(s.exchange_every);
  if (s.threads < 1 || s.threads > 1024)
    return "threads must be from 1 to 1024, got " + std::to_string(s.threads);
  return "";
}

Result Simulate(const Model& m, const std::vector<double>& T, const Settings& s, const Control& control) {
  const Couplings c = CouplingsOf(m);
  if (const std::string bad = CheckSettings(s); !bad.empty()) Refuse(bad);
  if (T.empty()) Refuse("the lattice simulation needs at least one temperature");
  for (double t : T) CheckTemperature(t, "every temperature of the sweep");
  const int R = static_cast<int>(T.size());
  const double T_lo = *std::min_element(T.begin(), T.end()), T_hi = *std::max_element(T.begin(), T.end());
  for (double t : s.curve)
    if (!(t >= T_lo && t <= T_hi))
      Refuse("every temperature of the reweighted curve must lie within the simulated range " + std::to_string(T_lo) +
             " ... " + std::to_string(T_hi) + ", got " + std::to_string(t));
  if (2.0 * 4 * static_cast<double>(s.sweeps) * R > kMaxSeriesBytes)
    Refuse("sweeps x temperatures is too large to keep the measured series (" + std::to_string(s.sweeps) +
           " x " + std::to_string(R) + "); use fewer sweeps or temperatures per run");

  // Temperatures in increasing order: exchanges go between neighbours there.
  std::vector<int> order(static_cast<std::size_t>(R));
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return T[static_cast<std::size_t>(a)] < T[static_cast<std::size_t>(b)]; });
  std::vector<double> Ts(static_cast<std::size_t>(R));
  std::vector<Table> tables(static_cast<std::size_t>(R));
  for (int t = 0; t < R; ++t) {
    Ts[static_cast<std::size_t>(t)] = T[static_cast<std::size_t>(order[static_cast<std::size_t>(t)])];
    tables[static_cast<std::size_t>(t)] = MakeTable(c, Ts[static_cast<std::size_t>(t)], s.update);
  }

  std::vector<Replica> reps;
  reps.reserve(static_cast<std::size_t>(R));
  for (int i = 0; i < R; ++i) {
    reps.emplace_back(s.L, s.seed, static_cast<std::uint64_t>(i));
    reps.back().t = i;
    RandomStart(reps.back());
  }
  std::vector<int> at(static_cast<std::size_t>(R));  // replica at each temperature
  std::iota(at.begin(), at.end(), 0);
  std::vector<std::vector<std::int32_t>> nf_series(static_cast<std::size_t>(R)), nff_series(static_cast<std::size_t>(R));
  for (int t = 0; t < R; ++t) {
    nf_series[static_cast<std::size_t>(t)].assign(static_cast<std::size_t>(s.sweeps), 0);
    nff_series[static_cast<std::size_t>(t)].assign(static_cast<std::size_t>(s.sweeps), 0);
  }
  std::vector<long> tried(static_cast<std::size_t>(std::max(R - 1, 0)), 0), taken(tried.size(), 0);
  Rng xrng(s.seed, kExchangeStream);

  const long total = s.equilibration + s.sweeps;
  const int threads = std::min(s.threads, R);
  Barrier barrier;
  std::atomic<bool> quit{false};
  long done = 0;  // sweeps completed by every replica (written by the calling thread)
  std::exception_ptr failure;
  long next_progress = control.progress_every > 0 ? control.progress_every : 1;

  // Each round every replica makes `every` sweeps; the replicas are claimed
  // one by one from a shared counter, so a thread that the system holds back
  // leaves its share to the others (the results do not depend on who
  // sweeps a replica).  Between rounds the calling thread makes the
  // exchanges, in a fixed order, and hears the callbacks.
  const long every = s.exchange_every;
  std::atomic<int> next{0};
  auto work = [&](int w) {
    long round = 0;
    for (long sweep = 0; sweep < total; sweep += every, ++round) {
      const long chunk = std::min(every, total - sweep);
      for (int i; (i = next.fetch_add(1, std::memory_order_relaxed)) < R;) {
        Replica& r = reps[static_cast<std::size_t>(i)];
        const Table& table = tables[static_cast<std::size_t>(r.t)];
        std::vector<std::int32_t>& f = nf_series[static_cast<std::size_t>(r.t)];
        std::vector<std::int32_t>& ff = nff_series[static_cast<std::size_t>(r.t)];
        for (long k = sweep; k < sweep + chunk; ++k) {
          r.lat.Sweep(table, r.rng, r.nf, r.nff);
          if (k >= s.equilibration) {
            f[static_cast<std::size_t>(k - s.equilibration)] = static_cast<std::int32_t>(r.nf);
            ff[static_cast<std::size_t>(k - s.equilibration)] = static_cast<std::int32_t>(r.nff);
          }
        }
      }
      barrier.Wait();
      if (w == 0) {
        next.store(0, std::memory_order_relaxed);
        done = sweep + chunk;
        if (s.tempering) {
          // Even pairs after even rounds, odd pairs after odd ones.
          for (int t = static_cast<int>(round % 2); t + 1 < R; t += 2) {
            Replica& a = reps[static_cast<std::size_t>(at[static_cast<std::size_t>(t)])];
            Replica& b = reps[static_cast<std::size_t>(at[static_cast<std::size_t>(t + 1)])];
            const double delta = (1 / Ts[static_cast<std::size_t>(t)] - 1 / Ts[static_cast<std::size_t>(t + 1)]) *
                                 (Energy(c, a.nf, a.nff) - Energy(c, b.nf, b.nff));
            const double u = xrng.Uniform();
            ++tried[static_cast<std::size_t>(t)];
            if (delta >= 0 || u < std::exp(delta)) {
              ++taken[static_cast<std::size_t>(t)];
              std::swap(a.t, b.t);
              std::swap(at[static_cast<std::size_t>(t)], at[static_cast<std::size_t>(t + 1)]);
            }
          }
        }
        try {
          if (control.progress && (done >= next_progress || done == total)) {
            control.progress(done, total);
            next_progress = done + (control.progress_every > 0 ? control.progress_every : 1);
          }
          if (done < total && StopAsked(control)) quit.store(true, std::memory_order_relaxed);
        } catch (...) {
          failure = std::current_exception();
          quit.store(true, std::memory_order_relaxed);
        }
      }
      barrier.Wait();
      if (quit.load(std::memory_order_relaxed)) return;
    }
  };

  // The workers wait at a gate until the barrier knows how many there are:
  // where the system refuses a thread, the run goes on with those it gave
  // (the results do not depend on the number).
  std::mutex gate;
  std::condition_variable opened;
  bool go = false;
  std::vector<std::thread> pool;
  try {
    for (int w = 1; w < threads; ++w)
      pool.emplace_back([&, w] {
        {
          std::unique_lock<std::mutex> lock(gate);
          opened.wait(lock, [&] { return go; });
        }
        work(w);
      });
  } catch (const std::system_error&) {
  }
  barrier.SetCount(static_cast<int>(pool.size()) + 1);
  {
    std::lock_guard<std::mutex> lock(gate);
    go = true;
  }
  opened.notify_all();
  work(0);
  for (auto& th : pool) th.join();
  if (failure) std::rethrow_exception(failure);

  Result out;
  out.L = s.L;
  out.sweeps_done = done;
  out.interrupted = done < total;
  out.exchange_T = Ts;
  if (s.tempering)
    for (std::size_t t = 0; t < tried.size(); ++t)
      out.exchange_rate.push_back(tried[t] > 0 ? static_cast<double>(taken[t]) / static_cast<double>(tried[t]) : 0.0);
  const long measured = std::max(0L, done - s.equilibration);
  out.reliable = !out.interrupted;
  if (measured > 0) {
    out.points.resize(static_cast<std::size_t>(R));
    const long N = static_cast<long>(s.L) * s.L;
    for (int t = 0; t < R; ++t) {
      const auto i = static_cast<std::size_t>(t);
      Point p = Analyse(c, Ts[i], N, nf_series[i], nff_series[i], measured, s.blocks);
      out.reliable = out.reliable && p.reliable;
      out.points[static_cast<std::size_t>(order[i])] = p;
    }
  } else {
    out.reliable = false;
  }
  if (!s.curve.empty() && measured >= s.blocks) {
    Series series;
    series.T = Ts;
    series.nf = std::move(nf_series);
    series.nff = std::move(nff_series);
    series.n = measured;
    std::vector<Point> sorted(static_cast<std::size_t>(R));
    for (int t = 0; t < R; ++t)
      sorted[static_cast<std::size_t>(t)] = out.points[static_cast<std::size_t>(order[static_cast<std::size_t>(t)])];
    out.curve = ReweightCurve(c, static_cast<long>(s.L) * s.L, series, sorted, s.curve, s.blocks);
  }
  return out;
}

std::vector<std::uint8_t> Snapshot(const Model& m, double T, int L, std::uint64_t seed, long sweeps,
                                   Update update, const Control& control) {
  const Couplings c = CouplingsOf(m);
  CheckTemperature(T, "T");
  Settings s;
  s.L = L;
  if (const std::string bad = CheckSettings(s); !bad.empty()) Refuse(bad);
  if (sweeps < 0) Refuse("sweeps must be 0 or more, got " + std::to_string(sweeps));
  Replica r(L, seed, 0);
  RandomStart(r);
  const Table table = MakeTable(c, T, update);
  const long every = control.progress_every > 0 ? control.progress_every : 1;
  for (long k = 0; k < sweeps; ++k) {
    if (StopAsked(control)) throw Interrupted();
    r.lat.Sweep(table, r.rng, r.nf, r.nff);
    if (control.progress && ((k + 1) % every == 0 || k + 1 == sweeps)) control.progress(k + 1, sweeps);
  }
  std::vector<std::uint8_t> out(static_cast<std::size_t>(L) * static_cast<std::size_t>(L));
  for (int y = 0; y < L; ++y)
    for (int x = 0; x < L; ++x)
      out[static_cast<std::size_t>(y) * static_cast<std::size_t>(L) + static_cast<std::size_t>(x)] = r.lat.Get(x, y);
  return out;
}

}  // namespace chainmelt::lattice
