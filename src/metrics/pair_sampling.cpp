// Drawing a sample of distinct pairs, and the similarities of given pairs.
#include "pair_sampling.hpp"

#include <algorithm>
#include <limits>

#include "checked_size.hpp"
#include "failure.hpp"
#include "float_environment.hpp"
#include "pairs.hpp"
#include "parallel_parts.hpp"

namespace metrics {

namespace {

constexpr std::uint64_t kGoldenGamma = 0x9E3779B97F4A7C15ULL;
// Marks an empty slot of the set of drawn pair numbers: no pair number
// reaches it (n(n - 1)/2 < 2^63 for n <= kMostSampledRows).
constexpr std::uint64_t kEmpty = std::numeric_limits<std::uint64_t>::max();

// The high and low 64 bits of a * b, without a 128-bit type.
void multiply_wide(std::uint64_t a, std::uint64_t b, std::uint64_t& high, std::uint64_t& low) {
  const std::uint64_t a_low = a & 0xFFFFFFFFULL, a_high = a >> 32;
  const std::uint64_t b_low = b & 0xFFFFFFFFULL, b_high = b >> 32;
  const std::uint64_t low_low = a_low * b_low;
  const std::uint64_t high_low = a_high * b_low;
  const std::uint64_t low_high = a_low * b_high;
  const std::uint64_t high_high = a_high * b_high;
  const std::uint64_t middle = (low_low >> 32) + (high_low & 0xFFFFFFFFULL) + (low_high & 0xFFFFFFFFULL);
  high = high_high + (high_low >> 32) + (low_high >> 32) + (middle >> 32);
  low = (middle << 32) | (low_low & 0xFFFFFFFFULL);
}

// Numbers of the seed's stream, taken in turn.
class Stream {
 public:
  explicit Stream(std::uint64_t seed) : seed_(seed) {}

  // Uniform in [0, bound) for bound >= 1: the high half of x * bound,
  // rejecting the few x whose low half would make some results likelier.
  std::uint64_t below(std::uint64_t bound) {
    std::uint64_t high = 0, low = 0;
    multiply_wide(next(), bound, high, low);
    if (low < bound) {
      const std::uint64_t threshold = (0 - bound) % bound;
      while (low < threshold) multiply_wide(next(), bound, high, low);
    }
    return high;
  }

 private:
  std::uint64_t next() { return stream_number(seed_, taken_++); }

  std::uint64_t seed_;
  std::uint64_t taken_ = 0;
};

// A set of pair numbers with room for `capacity` of them, open addressing.
class NumberSet {
 public:
  explicit NumberSet(std::uint64_t capacity) {
    std::size_t slots = 16;
    while (slots < capacity * 2) {
      if (slots > std::numeric_limits<std::size_t>::max() / 4) throw AllocationFailure(slots);
      slots *= 2;
    }
    slots_.assign(slots, kEmpty);
    mask_ = slots - 1;
  }

  // Adds `number`; false when it was there already.
  bool insert(std::uint64_t number) {
    std::size_t slot = static_cast<std::size_t>(stream_number(0, number)) & mask_;
    while (slots_[slot] != kEmpty) {
      if (slots_[slot] == number) return false;
      slot = (slot + 1) & mask_;
    }
    slots_[slot] = number;
    return true;
  }

 private:
  Buffer<std::uint64_t> slots_;
  std::size_t mask_ = 0;
};

// Where row i's pairs start in the pair order of n rows.
std::uint64_t first_pair_of_row(std::uint64_t n, std::uint64_t i) {
  return pairs_before(static_cast<std::size_t>(n), static_cast<std::size_t>(i));
}

// The rows `pairs` name (their first rows, their second rows, or both),
// copied into a batch of their own and normalised, with where each row of
// the source landed.
struct NamedRows {
  EmbeddingBatch normalized;
  Buffer<std::uint64_t> position;  // kEmpty for rows no pair names
};

NamedRows normalized_named_rows(const EmbeddingBatch& source, std::span<const RowPair> pairs, bool firsts,
                                bool seconds) {
  NamedRows result;
  result.position.assign(source.rows(), kEmpty);
  std::size_t count = 0, values = 0;
  auto name = [&](std::uint64_t row) {
    if (row >= source.rows()) fail_index_out_of_bounds(source.rows(), static_cast<std::size_t>(row));
    if (result.position[static_cast<std::size_t>(row)] == kEmpty) {
      result.position[static_cast<std::size_t>(row)] = count++;
      values += source.row(static_cast<std::size_t>(row)).size();
    }
  };
  for (const RowPair& pair : pairs) {
    if (firsts) name(pair.first);
    if (seconds) name(pair.second);
  }
  EmbeddingBatch picked;
  picked.reserve_rows(count);
  picked.reserve_values(values);
  // In source order, so that the source is read forwards.
  std::size_t next = 0;
  for (std::size_t row = 0; row < source.rows(); ++row) {
    if (result.position[row] == kEmpty) continue;
    result.position[row] = next++;
    picked.start_row();
    for (float value : source.row(row)) picked.push(value);
  }
  result.normalized = normalize_embeddings(picked, /*scale_extreme_rows=*/true);
  return result;
}

// Pairs per thread below which more threads do not pay for themselves.
constexpr std::size_t kPairsPerPart = 4096;

}  // namespace

std::uint64_t stream_number(std::uint64_t seed, std::uint64_t k) {
  std::uint64_t z = seed + (k + 1) * kGoldenGamma;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

Buffer<RowPair> draw_pairs(std::uint64_t rows, std::uint64_t count, std::uint64_t seed) {
  if (rows > kMostSampledRows) throw InternalFailure("more rows than a sample of pairs is drawn from");
  const std::uint64_t population = pair_count(static_cast<std::size_t>(rows));
  if (count > population) count = population;
  // The set, the numbers and the pairs, before any memory is asked for.
  if (!checked_product<std::size_t>(count, 4 * sizeof(std::uint64_t) + sizeof(RowPair))) {
    throw AllocationFailure(std::numeric_limits<std::size_t>::max());
  }
  Buffer<std::uint64_t> numbers;
  numbers.reserve(static_cast<std::size_t>(count));
  if (count == population) {
    for (std::uint64_t k = 0; k < population; ++k) numbers.push_back(k);
  } else {
    NumberSet drawn(count);
    Stream stream(seed);
    for (std::uint64_t top = population - count; top < population; ++top) {
      // top itself was never a candidate before, so it is new.
      std::uint64_t kept = stream.below(top + 1);
      if (!drawn.insert(kept)) {
        kept = top;
        drawn.insert(top);
      }
      numbers.push_back(kept);
    }
    std::sort(numbers.begin(), numbers.end());
  }
  Buffer<RowPair> pairs;
  pairs.reserve(numbers.size());
  // Sorted, so the rows are found by walking forwards.
  std::uint64_t i = 0;
  for (const std::uint64_t number : numbers) {
    while (first_pair_of_row(rows, i + 1) <= number) ++i;
    pairs.push_back({i, i + 1 + (number - first_pair_of_row(rows, i))});
  }
  return pairs;
}

Buffer<float> similarities_of_pairs(const EmbeddingBatch& rows, const EmbeddingBatch* columns,
                                    std::span<const RowPair> pairs, unsigned threads) {
  const DefaultFloatEnvironment float_environment;
  // Normalising a row depends on that row alone, so a row copied out of its
  // batch gets the same normalised values it gets in the whole batch.
  const NamedRows left = normalized_named_rows(rows, pairs, true, columns == nullptr);
  const NamedRows right = columns != nullptr ? normalized_named_rows(*columns, pairs, false, true) : NamedRows{};
  const NamedRows& second_rows = columns != nullptr ? right : left;

  Buffer<float> similarities(pairs.size());
  const std::size_t parts = parts_for(threads, pairs.size(), kPairsPerPart);
  run_parts(parts, [&](std::size_t p) {
    const std::size_t begin = pairs.size() * p / parts, end = pairs.size() * (p + 1) / parts;
    for (std::size_t k = begin; k < end; ++k) {
      const auto a = static_cast<std::size_t>(left.position[pairs[k].first]);
      const auto b = static_cast<std::size_t>(second_rows.position[pairs[k].second]);
      similarities[k] = dot_product(left.normalized.row(a), second_rows.normalized.row(b));
    }
  });
  return similarities;
}

}  // namespace metrics
