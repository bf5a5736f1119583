// Equilibrium curves by continuation against the equilibrium search at every
// point, per sweep point, side by side in one run (the ratio of the two
// "points/s" rates), for heat-curve sweeps of 51 and 2001 points of the
// shipped n0 = 2 and n0 = 8 examples.
//
// BM_CurveOnce runs one curve exactly once, for instruction counts under
// callgrind (bench/RESULTS.md has the commands).
#include <benchmark/benchmark.h>

#include <vector>

#include "model/run_state.hpp"
#include "search/continuation.hpp"
#include "search/equilibrium.hpp"

namespace chainmelt {
namespace {

// examples/heat-n2 (290-340 K) and examples/heat-n8 (270-340 K).
Model Example(int n0) {
  Model m;
  m.n0 = n0;
  if (n0 == 2) {
    m.para.w = -240, m.para.dH = 2920, m.para.dS = 2200.0 / 314.0;
  } else {
    m.para.w = -220, m.para.dH = 2860, m.para.dS = 7.006, m.para.dH2 = -700;
    m.para.dS2 = -1.956, m.para.conc2 = 0.5;
  }
  return m;
}

std::vector<double> Sweep(int n0, int points) {
  const double lo = n0 == 2 ? 290.0 : 270.0, hi = 340.0;
  std::vector<double> xs(static_cast<std::size_t>(points));
  for (int i = 0; i < points; ++i) xs[i] = lo + (hi - lo) * i / (points - 1);
  return xs;
}

void BM_Curve(benchmark::State& state) {
  const int n0 = static_cast<int>(state.range(0)), points = static_cast<int>(state.range(1));
  const Model m = Example(n0);
  const std::vector<double> xs = Sweep(n0, points);
  for (auto _ : state) benchmark::DoNotOptimize(TrackCurve(m, xs));
  state.counters["points"] = benchmark::Counter(points, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_Curve)->Args({2, 51})->Args({2, 2001})->Args({8, 51})->Args({8, 2001})
    ->Unit(benchmark::kMillisecond);

// The equilibrium search at every point, the points of the 51-point sweep in
// turn.
void BM_SearchPerPoint(benchmark::State& state) {
  const int n0 = static_cast<int>(state.range(0));
  RunState rs;
  static_cast<Model&>(rs) = Example(n0);
  HesseWork work(n0);
  const std::vector<double> xs = Sweep(n0, 51);
  std::size_t i = 0;
  for (auto _ : state) {
    rs.T = xs[i++ % xs.size()];
    benchmark::DoNotOptimize(StepOrderEquilibrium(rs, work));
  }
  state.counters["points"] = benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_SearchPerPoint)->Arg(2)->Arg(8)->Unit(benchmark::kMillisecond);

void BM_CurveOnce(benchmark::State& state) {
  const int n0 = static_cast<int>(state.range(0)), points = static_cast<int>(state.range(1));
  const Model m = Example(n0);
  const std::vector<double> xs = Sweep(n0, points);
  for (auto _ : state) benchmark::DoNotOptimize(TrackCurve(m, xs));
}
BENCHMARK(BM_CurveOnce)->Args({2, 51})->Args({2, 2001})->Args({8, 51})->Args({8, 2001})
    ->Iterations(1);

}  // namespace
}  // namespace chainmelt
