// tarnwell::average per method over small and large sample vectors, in samples per second.
// Run: build/main/bench/bench_core
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "average.h"

namespace {

// Positive values (the geometric mean refuses others), the same on every run.
std::vector<double> positive_samples(std::size_t count, std::uint64_t seed) {
  std::vector<double> samples(count);
  std::uint64_t state = seed;
  for (double& sample : samples) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    sample = 0.5 + static_cast<double>(state >> 11) / 9007199254740992.0;
  }
  return samples;
}

void bench_average(benchmark::State& state, const std::string& method) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const std::vector<double> samples = positive_samples(count, 1);
  const std::vector<double> weights = positive_samples(count, 2);
  for (auto _ : state) {
    tarnwell::AverageResult result = tarnwell::average(samples, method, &weights);
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(count));
}

void bench_vector_sum(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const std::vector<double> samples = positive_samples(count, 1);
  for (auto _ : state) {
    double sum = tarnwell::vector_sum(samples);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(count));
}

// Five short repetitions each: the median and the spread matter, and a whole run stays well
// under a minute on a shared machine.
void sizes(benchmark::internal::Benchmark* benchmark) {
  benchmark->Arg(1000)->Arg(1000000)->MinTime(0.1)->Repetitions(5)->ReportAggregatesOnly(true);
}

}  // namespace

BENCHMARK_CAPTURE(bench_average, arithmetic, std::string("arithmetic"))->Apply(sizes);
BENCHMARK_CAPTURE(bench_average, weighted, std::string("weighted"))->Apply(sizes);
BENCHMARK_CAPTURE(bench_average, harmonic, std::string("harmonic"))->Apply(sizes);
BENCHMARK_CAPTURE(bench_average, geometric, std::string("geometric"))->Apply(sizes);
BENCHMARK(bench_vector_sum)->Apply(sizes);
