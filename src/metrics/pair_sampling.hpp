// The measures estimated from a sample of pairs, for batches whose pairs are
// too many to visit: N distinct pairs drawn uniformly, their similarities
// with exactly the bits the pass over all pairs gives them, and isotropy,
// distinctiveness and the quality score estimated from those with a
// standard error each. Coverage needs only the rows, so it stays exact.
//
// The draw depends on the seed alone (never on threads or the machine), and
// a sample of every pair gives exactly the measures of compute_sound_measures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "buffer.hpp"
#include "metrics.hpp"

namespace metrics {

// A pair of rows: `first` of one batch with `second` of the same batch
// (first < second) or, for pairs between two blocks of rows, of the other.
struct RowPair {
  std::uint64_t first = 0;
  std::uint64_t second = 0;
};

// The most rows a sample may be drawn from: their n(n - 1)/2 pairs, and the
// draw's arithmetic on them, fit 64 bits.
inline constexpr std::uint64_t kMostSampledRows = std::uint64_t{1} << 32;

// The k-th number of the stream of `seed`: SplitMix64's output function
// applied to seed + (k + 1) * 0x9E3779B97F4A7C15 (the k-th output of a
// SplitMix64 generator started at `seed`). Counter-based, so any number of
// the stream can be had without the ones before it.
std::uint64_t stream_number(std::uint64_t seed, std::uint64_t k);

// `count` distinct pairs of `rows` rows (all of them when count is at least
// n(n - 1)/2), every set of `count` pairs equally likely, sorted in the
// pair order (first ascending, then second). Pairs are numbered in the pair
// order from 0 to n(n - 1)/2 - 1 and chosen by Floyd's algorithm on that
// range, which takes one uniform number per pair and rejects nothing but
// the rare numbers that would bias the reduction to a range (Lemire's
// multiply-and-shift): for t = P - count, ..., P - 1 it takes u uniform in
// [0, t] from the seed's stream (numbers taken in turn, from k = 0) and
// keeps u, or t when u is kept already. Fails with AllocationFailure for a
// sample no memory can hold, and with InternalFailure for more rows than
// kMostSampledRows.
Buffer<RowPair> draw_pairs(std::uint64_t rows, std::uint64_t count, std::uint64_t seed);

// The similarity of each pair: row `first` of `rows` with row `second` of
// `columns` (of `rows` when columns is null), both scaled and normalised as
// the pass over all pairs does, so that each has exactly the bits that pass
// gives it. Only the rows the pairs name are normalised. `threads` split the
// pairs; the values do not depend on it. Indices must be in range
// (InternalFailure otherwise: the caller checks them).
Buffer<float> similarities_of_pairs(const EmbeddingBatch& rows, const EmbeddingBatch* columns,
                                    std::span<const RowPair> pairs, unsigned threads = 1);

// Estimates of the measures of a batch from the similarities of a sample of
// its pairs, with their standard errors and 95 % intervals (0 and the value
// itself where the sample holds every pair, or the value is exact).
struct SampledMeasures {
  struct Interval {
    double low = 0, high = 0;
  };
  SoundMeasures measures;
  double isotropy_stderr = 0;
  // Of the formula before its clamp to [0, 1]: with widely spread
  // similarities it exceeds 1, and the estimate is 1 with an interval
  // that reaches below 1 only as far as the unclamped one does.
  double distinctiveness_stderr = 0;
  double quality_score_stderr = 0;
  Interval isotropy_interval, distinctiveness_interval, quality_score_interval;
  std::uint64_t pairs = 0;       // in the sample
  std::uint64_t population = 0;  // n(n - 1)/2
};

// From the similarities of distinct pairs drawn uniformly and the exact
// per-dimension sums of all rows (dimension_sums_of, merged): the estimates
// are the exact-sum formulas of compute_sound_measures evaluated on the
// sample, coverage and the shape from the rows. Standard errors are those of
// a sample drawn without replacement, (1 - N/P) s^2 / N with s^2 the
// sample variance of each estimate's influence values (the delta method;
// see pair_sampling_estimates.cpp). Nothing when the dimension state is not
// one, or the sample holds more pairs than the rows have.
std::optional<SampledMeasures> sampled_measures_from(std::span<const float> similarities,
                                                     std::span<const unsigned char> dimension_state);

// Everything above on one batch in memory: coverage's exact sums, `pairs`
// pairs drawn with `seed`, their similarities and the estimates.
SampledMeasures compute_sampled_measures(const EmbeddingBatch& embeddings, std::uint64_t pairs,
                                         std::uint64_t seed, const PassOptions& options = {});

}  // namespace metrics
