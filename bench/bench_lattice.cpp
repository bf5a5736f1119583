// The lattice engine: site updates per second of one replica, the speed-up of
// parallel tempering at 2 threads, and the DPPC-like heat-capacity curve.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "lattice/kernel.hpp"
#include "lattice/lattice.hpp"

namespace chainmelt::lattice {
namespace {

// The DPPC-like example: w = -240, dH and dS derived from dHcal = 2200 and
// Tm = 314.
Model Dppc() {
  Model m;
  m.n0 = 2;
  m.para.w = -240;
  m.para.dHcal = 2200;
  m.para.Tm = 314;
  m.para.dH = m.para.dHcal - 3 * m.para.w;
  m.para.dS = m.para.dHcal / m.para.Tm;
  return m;
}

// Sweeps of one replica at the transition (about half the sites fluid, the
// most flips): argument L, then 0 Metropolis / 1 heat bath.
void BM_LatticeSweep(benchmark::State& state) {
  const int L = static_cast<int>(state.range(0));
  const Update up = state.range(1) == 0 ? Update::kMetropolis : Update::kHeatBath;
  state.SetLabel(up == Update::kMetropolis ? "Metropolis" : "heat bath");
  Lattice lat(L);
  Rng rng(1, 0);
  for (int y = 0; y < L; ++y)
    for (int x = 0; x < L; ++x) lat.Set(x, y, static_cast<std::uint8_t>(rng.Next() >> 63));
  std::int64_t nf = 0, nff = 0;
  lat.Count(nf, nff);
  const Table t = MakeTable(CouplingsOf(Dppc()), 314, up);
  for (int k = 0; k < 50; ++k) lat.Sweep(t, rng, nf, nff);
  for (auto _ : state) {
    lat.Sweep(t, rng, nf, nff);
    benchmark::DoNotOptimize(nf);
  }
  state.counters["updates/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * L * L, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LatticeSweep)->Args({66, 0})->Args({66, 1})->Args({96, 0})->Args({192, 0})->Args({498, 0});

// Parallel tempering over 8 temperatures of the transition, L = 96, 1000
// sweeps each: arguments the thread count and the sweeps between exchanges
// (wall time).
void BM_Tempering(benchmark::State& state) {
  Settings s;
  s.exchange_every = state.range(1);
  s.L = 96;
  s.equilibration = 0;
  s.sweeps = 1000;
  s.threads = static_cast<int>(state.range(0));
  const std::vector<double> T = {306, 309, 311, 313, 314, 315, 317, 320};
  for (auto _ : state) benchmark::DoNotOptimize(Simulate(Dppc(), T, s));
  state.counters["updates/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * 8 * 1000 * 96 * 96, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Tempering)
    ->Args({1, 1})
    ->Args({2, 1})
    ->Args({1, 10})
    ->Args({2, 10})
    ->Args({1, 1})
    ->Args({2, 1})
    ->MeasureProcessCPUTime()  // CPU: all threads together
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The DPPC-like curve: 51 temperatures 290 ... 340 K, L = 66, arguments the
// equilibration, the measured sweeps and the threads.  Reports the highest
// simulated point and its relative standard error, and the peak of the
// reweighted curve at 0.05 K steps from 305 to 320 K (its position and
// height, and the full width at half maximum of the simulated points).
void BM_DppcCurve(benchmark::State& state) {
  Settings s;
  s.L = 66;
  s.equilibration = state.range(0);
  s.sweeps = state.range(1);
  s.threads = static_cast<int>(state.range(2));
  s.seed = 314;
  std::vector<double> T;
  for (int i = 0; i <= 50; ++i) T.push_back(290 + i);
  for (int i = 0; i <= 300; ++i) s.curve.push_back(305 + 0.05 * i);
  Result r;
  for (auto _ : state) r = Simulate(Dppc(), T, s);
  const auto top = std::max_element(r.points.begin(), r.points.end(),
                                    [](const Point& a, const Point& b) { return a.Cp < b.Cp; });
  double tau = 0;
  for (const Point& p : r.points) tau = std::max(tau, p.tau_E);
  state.counters["T_peak"] = top->T;
  state.counters["Cp_peak"] = top->Cp;
  state.counters["Cp_err_rel"] = top->Cp_err / top->Cp;
  state.counters["tau_E_max"] = tau;
  state.counters["reliable"] = r.reliable;
  const auto peak = std::max_element(r.curve.begin(), r.curve.end(),
                                     [](const Point& a, const Point& b) { return a.Cp < b.Cp; });
  state.counters["curve_T_peak"] = peak->T;
  state.counters["curve_Cp_peak"] = peak->Cp;
  state.counters["curve_Cp_err"] = peak->Cp_err;
  // Width at half height, by linear interpolation between simulated points.
  const double half = top->Cp / 2;
  double lo = 0, hi = 0;
  for (std::size_t i = 0; i + 1 < r.points.size(); ++i) {
    const Point &a = r.points[i], &b = r.points[i + 1];
    if (a.Cp < half && b.Cp >= half) lo = a.T + (half - a.Cp) / (b.Cp - a.Cp) * (b.T - a.T);
    if (a.Cp >= half && b.Cp < half) hi = a.T + (a.Cp - half) / (a.Cp - b.Cp) * (b.T - a.T);
  }
  state.counters["FWHM"] = hi - lo;
}
BENCHMARK(BM_DppcCurve)
    ->Args({1000, 20000, 2})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace chainmelt::lattice
