// A batch measured in parts: the exact sums of some of its pairs, or of some
// of its rows' values, as bytes that can travel to another process and merge
// there with the other parts. Exact sums merge exactly, so however the pairs
// and rows are split, the merged state, and the measures on it, are those of
// the whole batch measured at once.
#include <cstring>

#include "exact_sums/dimension_sums.hpp"
#include "exact_sums/similarity_sums.hpp"
#include "exact_sums/sound_formulas.hpp"
#include "failure.hpp"
#include "float_environment.hpp"
#include "metrics.hpp"
#include "pair_kernel/kernel_path.hpp"
#include "pair_kernel/pair_similarities.hpp"
#include "pairs.hpp"

namespace metrics {

namespace {

Buffer<unsigned char> serialized(const SimilaritySums& sums) {
  Buffer<unsigned char> bytes(SimilaritySums::kBytes);
  sums.serialize(std::span<unsigned char, SimilaritySums::kBytes>(bytes.data(), SimilaritySums::kBytes));
  return bytes;
}

// `rows` followed by `columns`, as one owned batch.
EmbeddingBatch joined(const EmbeddingBatch& rows, const EmbeddingBatch& columns) {
  EmbeddingBatch both;
  both.reserve_rows(rows.rows() + columns.rows());
  both.reserve_values(rows.value_count() + columns.value_count());
  for (const EmbeddingBatch* part : {&rows, &columns}) {
    for (std::size_t i = 0; i < part->rows(); ++i) {
      both.start_row();
      for (float value : part->row(i)) both.push(value);
    }
  }
  return both;
}

bool starts_with(std::span<const unsigned char> bytes, const char* tag) {
  return bytes.size() >= 5 && std::memcmp(bytes.data(), tag, 5) == 0;
}

}  // namespace

Buffer<unsigned char> pair_sums_within(const EmbeddingBatch& rows, const PassOptions& options) {
  const DefaultFloatEnvironment float_environment;
  const KernelPath path = kernel_path_for(options);
  if (rows.rows() < 2) return serialized(SimilaritySums(path));
  const PairSimilarities similarities(rows, path, options.threads, /*scale_extreme_rows=*/true);
  return serialized(similarities.exact_sums(options));
}

Buffer<unsigned char> pair_sums_between(const EmbeddingBatch& rows, const EmbeddingBatch& columns,
                                        const PassOptions& options) {
  const DefaultFloatEnvironment float_environment;
  const KernelPath path = kernel_path_for(options);
  if (rows.empty() || columns.empty()) return serialized(SimilaritySums(path));
  // Packed together, so that every pair is computed by the same tiles, with
  // the same bits, as in the whole batch.
  const EmbeddingBatch both = joined(rows, columns);
  const PairSimilarities similarities(both, path, options.threads, /*scale_extreme_rows=*/true);
  return serialized(similarities.exact_sums_between(rows.rows(), options));
}

Buffer<unsigned char> sum_similarities(std::span<const float> values) {
  const DefaultFloatEnvironment float_environment;
  SimilaritySums sums(fastest_kernel_path());
  sums.add(values.data(), values.size());
  return serialized(sums);
}

Buffer<unsigned char> dimension_sums_of(const EmbeddingBatch& rows, std::size_t dimension,
                                        const PassOptions& options) {
  const DefaultFloatEnvironment float_environment;
  require_rows_within(rows, dimension);
  return DimensionSums::of_rows(rows, 0, dimension, kernel_path_for(options), options.threads).serialize();
}

std::optional<Buffer<unsigned char>> merge_sums(std::span<const std::span<const unsigned char>> states) {
  if (states.empty()) return std::nullopt;
  if (starts_with(states[0], "vxsim")) {
    auto merged = SimilaritySums::deserialize(states[0]);
    if (!merged) return std::nullopt;
    for (std::size_t s = 1; s < states.size(); ++s) {
      const auto other = SimilaritySums::deserialize(states[s]);
      if (!other) return std::nullopt;
      merged->merge(*other);
    }
    return serialized(*merged);
  }
  auto merged = DimensionSums::deserialize(states[0]);
  if (!merged) return std::nullopt;
  for (std::size_t s = 1; s < states.size(); ++s) {
    const auto other = DimensionSums::deserialize(states[s]);
    if (!other || other->first_dimension() != merged->first_dimension() ||
        other->dimensions() != merged->dimensions()) {
      return std::nullopt;
    }
    merged->merge(*other);
  }
  return merged->serialize();
}

std::optional<SoundMeasures> sound_measures_from_sums(std::span<const unsigned char> pairs,
                                                      std::span<const unsigned char> dimensions) {
  const DefaultFloatEnvironment float_environment;
  const auto pair_sums = SimilaritySums::deserialize(pairs);
  auto dimension_sums = DimensionSums::deserialize(dimensions);
  if (!pair_sums || !dimension_sums || dimension_sums->first_dimension() != 0) return std::nullopt;
  const std::uint64_t n = dimension_sums->rows();
  // Every pair of the batch, once.
  if (pair_sums->count() != pair_count(static_cast<std::size_t>(n))) return std::nullopt;
  SoundMeasures measures;
  if (n == 0) return measures;
  const std::size_t d = dimension_sums->dimensions();
  if (n >= 2 && d > 0) {
    VarianceTotal total;
    total.add(*dimension_sums, n);
    measures.coverage = total.coverage(d);
    const SoundPairMeasures pair = sound_pair_measures(*pair_sums);
    measures.isotropy = pair.isotropy;
    measures.distinctiveness = pair.distinctiveness;
  }
  measures.quality_score = sound_quality_score(measures.isotropy, measures.coverage, measures.distinctiveness);
  return measures;
}

}  // namespace metrics
