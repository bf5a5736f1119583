// Per-call cost of the free energy and its gradient in every model variant.
#include <benchmark/benchmark.h>

#include "bench/variants.hpp"
#include "model/model.hpp"

namespace chainmelt::bench {
namespace {

void BM_FreeCalc(benchmark::State& state) {
  const Variant& v = Variants()[static_cast<std::size_t>(state.range(0))];
  state.SetLabel(v.name);
  for (auto _ : state) benchmark::DoNotOptimize(FreeCalc(v.model, v.point));
}

void BM_DerCalc(benchmark::State& state) {
  const Variant& v = Variants()[static_cast<std::size_t>(state.range(0))];
  state.SetLabel(v.name);
  StateVec g;
  for (auto _ : state) {
    DerCalc(v.model, v.point, g);
    benchmark::DoNotOptimize(g);
  }
}

void BM_FreeAndDer(benchmark::State& state) {
  const Variant& v = Variants()[static_cast<std::size_t>(state.range(0))];
  state.SetLabel(v.name);
  StateVec g;
  for (auto _ : state) {
    benchmark::DoNotOptimize(FreeCalc(v.model, v.point));
    DerCalc(v.model, v.point, g);
    benchmark::DoNotOptimize(g);
  }
}

BENCHMARK(BM_FreeCalc)->DenseRange(0, kVariantCount - 1);
BENCHMARK(BM_DerCalc)->DenseRange(0, kVariantCount - 1);
BENCHMARK(BM_FreeAndDer)->DenseRange(0, kVariantCount - 1);

}  // namespace
}  // namespace chainmelt::bench
