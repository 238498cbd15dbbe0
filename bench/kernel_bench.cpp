// Kernel benchmarks: the pair kernel of every path this processor supports,
// the measures built on it, and the scalar reference, in multiply-adds per
// second (n(n - 1)/2 * d per pass over the pairs).
//
//   kernel_bench --benchmark_filter='PairKernel/avx512'
#include <benchmark/benchmark.h>

#include <cstddef>
#include <random>
#include <string>

#include "kernel_path.hpp"
#include "metrics.hpp"
#include "pair_measures.hpp"
#include "pair_similarities.hpp"
#include "pairs.hpp"
#include "reference.hpp"

namespace {

using metrics::EmbeddingBatch;
using metrics::KernelPath;

EmbeddingBatch random_batch(std::size_t n, std::size_t d) {
  std::mt19937 rng(12345);
  std::normal_distribution<float> value(0.0f, 1.0f);
  EmbeddingBatch batch;
  float* out = batch.append_rectangle(n, d);
  for (std::size_t t = 0; t < n * d; ++t) out[t] = value(rng);
  return batch;
}

void count_mul_adds(benchmark::State& state, std::size_t n, std::size_t d, int passes = 1) {
  const double per_pass = static_cast<double>(metrics::pair_count(n)) * static_cast<double>(d);
  state.counters["mul_adds"] =
      benchmark::Counter(per_pass * passes, benchmark::Counter::kIsIterationInvariantRate);
}

// The tile kernel and its blocking alone: the batch is normalised and packed
// once, outside the timed loop.
void pair_kernel(benchmark::State& state, KernelPath path) {
  const std::size_t n = state.range(0), d = state.range(1);
  const EmbeddingBatch batch = random_batch(n, d);
  const metrics::PairSimilarities similarities(batch, path);
  for (auto _ : state) {
    float first = 0.0f;
    similarities.for_each_row([&](std::size_t, const float* values, std::size_t) { first = values[0]; });
    benchmark::DoNotOptimize(first);
  }
  count_mul_adds(state, n, d);
}

template <class Measure>
void measure(benchmark::State& state, Measure&& compute, int passes = 1) {
  const std::size_t n = state.range(0), d = state.range(1);
  const EmbeddingBatch batch = random_batch(n, d);
  for (auto _ : state) benchmark::DoNotOptimize(compute(batch));
  count_mul_adds(state, n, d, passes);
}

void shapes(benchmark::internal::Benchmark* b) {
  for (long n : {1000, 2000, 4000}) {
    for (long d : {384, 768}) b->Args({n, d});
  }
  b->ArgNames({"n", "d"})->Unit(benchmark::kMillisecond)->UseRealTime();
}

void reference_shapes(benchmark::internal::Benchmark* b) {
  b->Args({1000, 384})->Args({2000, 768})->ArgNames({"n", "d"});
  b->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
}

int register_benchmarks() {
  for (KernelPath path : metrics::supported_kernel_paths()) {
    const std::string name = metrics::kernel_path_name(path);
    benchmark::RegisterBenchmark(("PairKernel/" + name).c_str(), pair_kernel, path)->Apply(shapes);
    benchmark::RegisterBenchmark(("Isotropy/" + name).c_str(), [path](benchmark::State& state) {
      measure(state, [path](const EmbeddingBatch& b) { return metrics::isotropy_on_path(b, path); });
    })->Apply(shapes);
  }
  benchmark::RegisterBenchmark("Distinctiveness", [](benchmark::State& state) {
    measure(state, [](const EmbeddingBatch& b) { return metrics::compute_distinctiveness(b); });
  })->Apply(shapes);
  benchmark::RegisterBenchmark("QualityScore", [](benchmark::State& state) {
    measure(state, [](const EmbeddingBatch& b) { return metrics::compute_quality_score(b); });
  })->Apply(shapes);
  // Over the list budget: the similarities are computed twice.
  benchmark::RegisterBenchmark("DistinctivenessRecomputed", [](benchmark::State& state) {
    measure(state, [](const EmbeddingBatch& b) {
      return metrics::distinctiveness_on_path(b, metrics::fastest_kernel_path(), 0);
    }, 2);
  })->Apply(shapes);
  benchmark::RegisterBenchmark("IsotropyReference", [](benchmark::State& state) {
    measure(state, [](const EmbeddingBatch& b) { return metrics::reference::isotropy_reference(b); });
  })->Apply(reference_shapes);
  return 0;
}

const int registered = register_benchmarks();

}  // namespace

BENCHMARK_MAIN();
