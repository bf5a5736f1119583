// Per-call cost of the free energy and its gradient in every model variant.
#include <benchmark/benchmark.h>

#include "bench/variants.hpp"
#include "model/free_grad.hpp"
#include "model/model.hpp"
#include "numeric/minimize.hpp"
#include "search/objective.hpp"

namespace chainmelt::bench {
namespace {

// The variant a benchmark runs on (its argument), named in the report.
const Variant& Select(benchmark::State& state) {
  const Variant& v = Variants()[static_cast<std::size_t>(state.range(0))];
  state.SetLabel(v.name);
  return v;
}

void BM_FreeCalc(benchmark::State& state) {
  const Variant& v = Select(state);
  for (auto _ : state) benchmark::DoNotOptimize(FreeCalc(v.model, v.point));
}

void BM_DerCalc(benchmark::State& state) {
  const Variant& v = Select(state);
  StateVec g;
  for (auto _ : state) {
    DerCalc(v.model, v.point, g);
    benchmark::DoNotOptimize(g);
  }
}

void BM_FreeAndDer(benchmark::State& state) {
  const Variant& v = Select(state);
  StateVec g;
  for (auto _ : state) {
    benchmark::DoNotOptimize(FreeCalc(v.model, v.point));
    DerCalc(v.model, v.point, g);
    benchmark::DoNotOptimize(g);
  }
}

// Value and gradient in one evaluation, the pieces of the point shared.
void BM_FreeDerCalc(benchmark::State& state) {
  const Variant& v = Select(state);
  StateVec g;
  for (auto _ : state) {
    benchmark::DoNotOptimize(FreeDerCalc(v.model, v.point, g));
    benchmark::DoNotOptimize(g);
  }
}

// One complete conjugate-gradient minimisation from the fixed feasible start.
void BM_Frprmn(benchmark::State& state) {
  const Variant& v = Select(state);
  FreeEnergyObjective objective(v.model);
  int iter = 0;
  for (auto _ : state) {
    StateVec p = v.point;
    double fret = 0.0;
    frprmn(p, v.model.n0, 1e-15, iter, fret, objective);
    benchmark::DoNotOptimize(fret);
    benchmark::DoNotOptimize(p);
  }
  state.counters["line_minimisations"] = iter;
}

BENCHMARK(BM_FreeCalc)->DenseRange(0, kVariantCount - 1);
BENCHMARK(BM_DerCalc)->DenseRange(0, kVariantCount - 1);
BENCHMARK(BM_FreeAndDer)->DenseRange(0, kVariantCount - 1);
BENCHMARK(BM_FreeDerCalc)->DenseRange(0, kVariantCount - 1);
BENCHMARK(BM_Frprmn)->DenseRange(0, kVariantCount - 1);

}  // namespace
}  // namespace chainmelt::bench
