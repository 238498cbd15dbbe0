// Kernel benchmarks: the pair kernel of every path this processor supports,
// the measures built on it, and the scalar reference, in multiply-adds per
// second (n(n - 1)/2 * d per pass over the pairs); the same with worker
// threads; and the ceilings: loops of unfused vector multiplies and adds on
// registers alone, the most the pair kernel of each vector width could reach
// on this core.
//
//   kernel_bench --benchmark_filter='PairKernel/avx512'
//   kernel_bench --benchmark_filter='Ceiling|PairKernel/avx2/n:2000/d:768'
#include <benchmark/benchmark.h>

#include "pair_kernel/isa_target.hpp"
#if VEXTRAL_X86
#include <immintrin.h>
#endif

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>
#include <random>
#include <string>

#include "pair_kernel/kernel_path.hpp"
#include "metrics.hpp"
#include "pair_measures.hpp"
#include "pair_kernel/pair_similarities.hpp"
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

// The pair kernel with `threads` threads filling panels for the caller.
void pair_kernel_threads(benchmark::State& state) {
  const std::size_t n = state.range(0), d = state.range(1);
  metrics::PassOptions options;
  options.threads = static_cast<unsigned>(state.range(2));
  const EmbeddingBatch batch = random_batch(n, d);
  const metrics::PairSimilarities similarities(batch, metrics::fastest_kernel_path());
  for (auto _ : state) {
    float first = 0.0f;
    similarities.for_each_row([&](std::size_t, const float* values, std::size_t) { first = values[0]; },
                              options);
    benchmark::DoNotOptimize(first);
  }
  count_mul_adds(state, n, d);
}

#if VEXTRAL_X86
// The pair tile's arithmetic with nothing else: four row values times two
// column vectors into eight independent accumulators per step, each a rounded
// product and then a rounded sum, all in registers (no loads, no stores).
// The empty asm statement makes the six operands opaque at every step, so
// the compiler can neither hoist nor merge the products; it emits no
// instruction.
VEXTRAL_TARGET_AVX2 void ceiling_avx2(benchmark::State& state) {
  constexpr std::int64_t kSteps = 1 << 20;
  for (auto _ : state) {
    __m256 a00 = _mm256_setzero_ps(), a01 = a00, a10 = a00, a11 = a00;
    __m256 a20 = a00, a21 = a00, a30 = a00, a31 = a00;
    __m256 c0 = _mm256_set1_ps(0.5f), c1 = _mm256_set1_ps(0.25f);
    __m256 x0 = _mm256_set1_ps(1e-3f), x1 = _mm256_set1_ps(2e-3f);
    __m256 x2 = _mm256_set1_ps(3e-3f), x3 = _mm256_set1_ps(4e-3f);
    for (std::int64_t step = 0; step < kSteps; ++step) {
      asm volatile("" : "+x"(c0), "+x"(c1), "+x"(x0), "+x"(x1), "+x"(x2), "+x"(x3));
      a00 = _mm256_add_ps(a00, _mm256_mul_ps(x0, c0));
      a01 = _mm256_add_ps(a01, _mm256_mul_ps(x0, c1));
      a10 = _mm256_add_ps(a10, _mm256_mul_ps(x1, c0));
      a11 = _mm256_add_ps(a11, _mm256_mul_ps(x1, c1));
      a20 = _mm256_add_ps(a20, _mm256_mul_ps(x2, c0));
      a21 = _mm256_add_ps(a21, _mm256_mul_ps(x2, c1));
      a30 = _mm256_add_ps(a30, _mm256_mul_ps(x3, c0));
      a31 = _mm256_add_ps(a31, _mm256_mul_ps(x3, c1));
    }
    __m256 total = _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(a00, a01), _mm256_add_ps(a10, a11)),
                                 _mm256_add_ps(_mm256_add_ps(a20, a21), _mm256_add_ps(a30, a31)));
    benchmark::DoNotOptimize(total);
  }
  state.counters["mul_adds"] = benchmark::Counter(double(kSteps) * 8 * 8,
                                                  benchmark::Counter::kIsIterationInvariantRate);
}

// The same for the 512-bit tile's shape: four row values times four column
// vectors into sixteen accumulators per step.
VEXTRAL_TARGET_AVX512 void ceiling_avx512(benchmark::State& state) {
  constexpr std::int64_t kSteps = 1 << 19;
  for (auto _ : state) {
    __m512 acc[4][4];
    for (auto& row : acc) {
      for (auto& sum : row) sum = _mm512_setzero_ps();
    }
    __m512 c0 = _mm512_set1_ps(0.5f), c1 = _mm512_set1_ps(0.25f);
    __m512 c2 = _mm512_set1_ps(0.125f), c3 = _mm512_set1_ps(0.0625f);
    __m512 x0 = _mm512_set1_ps(1e-3f), x1 = _mm512_set1_ps(2e-3f);
    __m512 x2 = _mm512_set1_ps(3e-3f), x3 = _mm512_set1_ps(4e-3f);
    for (std::int64_t step = 0; step < kSteps; ++step) {
      asm volatile("" : "+v"(c0), "+v"(c1), "+v"(c2), "+v"(c3), "+v"(x0), "+v"(x1), "+v"(x2), "+v"(x3));
      const __m512 x[4] = {x0, x1, x2, x3};
      const __m512 c[4] = {c0, c1, c2, c3};
      for (int r = 0; r < 4; ++r) {
        for (int v = 0; v < 4; ++v) acc[r][v] = _mm512_add_ps(acc[r][v], _mm512_mul_ps(x[r], c[v]));
      }
    }
    __m512 total = _mm512_setzero_ps();
    for (auto& row : acc) {
      for (auto& sum : row) total = _mm512_add_ps(total, sum);
    }
    benchmark::DoNotOptimize(total);
  }
  state.counters["mul_adds"] = benchmark::Counter(double(kSteps) * 16 * 16,
                                                  benchmark::Counter::kIsIterationInvariantRate);
}
#endif

template <class Measure>
void measure(benchmark::State& state, Measure&& compute, int passes = 1) {
  const std::size_t n = state.range(0), d = state.range(1);
  const EmbeddingBatch batch = random_batch(n, d);
  for (auto _ : state) benchmark::DoNotOptimize(compute(batch));
  count_mul_adds(state, n, d, passes);
}

// Single-thread benchmarks count processor time, not wall time: on a shared
// machine that keeps the kernel and the ceiling loop comparable.
void shapes(benchmark::internal::Benchmark* b) {
  for (long n : {1000, 2000, 4000}) {
    for (long d : {384, 768}) b->Args({n, d});
  }
  b->Args({20000, 64});
  b->ArgNames({"n", "d"})->Unit(benchmark::kMillisecond);
}

void reference_shapes(benchmark::internal::Benchmark* b) {
  b->Args({1000, 384})->Args({2000, 768})->ArgNames({"n", "d"});
  b->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
}

void thread_shapes(benchmark::internal::Benchmark* b) {
  for (auto [n, d] : {std::pair<long, long>{2000, 768}, {4000, 384}, {20000, 64}}) {
    for (long threads : {1, 2}) b->Args({n, d, threads});
  }
  b->ArgNames({"n", "d", "threads"})->Unit(benchmark::kMillisecond)->UseRealTime();
}

template <class Compute>
void threaded_measure(benchmark::State& state, Compute&& compute) {
  metrics::PassOptions options;
  options.threads = static_cast<unsigned>(state.range(2));
  measure(state, [&](const EmbeddingBatch& b) { return compute(b, options); });
}

int register_benchmarks() {
#if VEXTRAL_X86
  if (__builtin_cpu_supports("avx2")) {
    benchmark::RegisterBenchmark("Ceiling/avx2", ceiling_avx2);
  }
  if (__builtin_cpu_supports("avx512f")) {
    benchmark::RegisterBenchmark("Ceiling/avx512", ceiling_avx512);
  }
#endif
  benchmark::RegisterBenchmark("PairKernelThreads", pair_kernel_threads)->Apply(thread_shapes);
  benchmark::RegisterBenchmark("IsotropyThreads", [](benchmark::State& state) {
    threaded_measure(state, [](const EmbeddingBatch& b, const metrics::PassOptions& o) {
      return metrics::compute_isotropy(b, o);
    });
  })->Apply(thread_shapes);
  benchmark::RegisterBenchmark("QualityScoreThreads", [](benchmark::State& state) {
    threaded_measure(state, [](const EmbeddingBatch& b, const metrics::PassOptions& o) {
      return metrics::compute_quality_score(b, o);
    });
  })->Apply(thread_shapes);
  // The bare dependent-add chain: the floor under any running sum of one
  // value per pair, whatever the threads.
  benchmark::RegisterBenchmark("SerialSumFloor", [](benchmark::State& state) {
    const std::size_t count = std::size_t{1} << 22;
    std::vector<float> values(count, 0.25f);
    for (auto _ : state) {
      float total = 0.0f;
      for (float value : values) total = total + value;
      benchmark::DoNotOptimize(total);
    }
    state.counters["ns_per_value"] = benchmark::Counter(
        double(count), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  });

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
