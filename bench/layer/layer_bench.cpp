// Building a scene: putting 1k to 64k facets on one layer. The time per facet must not grow with
// the number of facets already there; beside it, a bare vector of weak pointers filled with the
// same facets (the least a layer can do).
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <memory>
#include <vector>

#include "zel/facet.h"
#include "zel/layer.h"

namespace {

std::vector<std::shared_ptr<zel::Facet>> make_facets(int64_t n) {
  std::vector<std::shared_ptr<zel::Facet>> facets;
  facets.reserve(size_t(n));
  for (int64_t i = 0; i < n; ++i) facets.push_back(std::make_shared<zel::Facet>());
  return facets;
}

// Seconds per facet (printed with an SI prefix: 40n is 40 ns).
void report(benchmark::State& state) {
  state.counters["per_facet"] =
      benchmark::Counter(double(state.range(0)), benchmark::Counter::kIsIterationInvariantRate |
                                                     benchmark::Counter::kInvert);
}

void BM_LayerPutFacet(benchmark::State& state) {
  const auto facets = make_facets(state.range(0));
  for (auto _ : state) {
    auto layer = std::make_unique<zel::Layer>(0);
    for (const auto& f : facets) layer->put_facet(f);
    benchmark::DoNotOptimize(layer->size());
    state.PauseTiming();
    layer.reset();
    state.ResumeTiming();
  }
  report(state);
}

void BM_BareWeakVector(benchmark::State& state) {
  const auto facets = make_facets(state.range(0));
  for (auto _ : state) {
    std::vector<std::weak_ptr<zel::Facet>> list;
    for (const auto& f : facets) list.push_back(f);
    benchmark::DoNotOptimize(list.data());
    state.PauseTiming();
    list = {};
    state.ResumeTiming();
  }
  report(state);
}

}  // namespace

BENCHMARK(BM_LayerPutFacet)->RangeMultiplier(4)->Range(1 << 10, 1 << 16);
BENCHMARK(BM_BareWeakVector)->RangeMultiplier(4)->Range(1 << 10, 1 << 16);
// Freed heap stays with the process between runs. Otherwise glibc returns it to the kernel and
// each run of the larger sizes pays first-touch page faults on fresh pages: the kernel's cost,
// not the layer's, and the bare vector pays it too (7x at 64k).
int main(int argc, char** argv) {
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
