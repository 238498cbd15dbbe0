// The exact, order-free sums: the accumulator, the lanes of every path
// against one value at a time, the per-dimension sums, the serialised
// states, and the pass that sums every similarity with threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "exact_sums/dimension_sums.hpp"
#include "exact_sums/exact_sum.hpp"
#include "exact_sums/similarity_sums.hpp"
#include "exact_sums/sound_formulas.hpp"
#include "metrics.hpp"
#include "pair_kernel/kernel_path.hpp"
#include "pair_kernel/pair_similarities.hpp"
#include "random_batches.hpp"

namespace {

using metrics::DimensionSums;
using metrics::ExactSum;
using metrics::KernelPath;
using metrics::SimilaritySums;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Values that defeat float sums and probe every way into the exact ones:
// cancellation across the whole range, subnormals, both zeros, values next
// to the lanes' bounds (2^-17 and 2) on either side, NaN and infinity.
std::vector<float> hostile_values(std::mt19937& rng, std::size_t count) {
  const float specials[] = {1.0f, -1.0f, 0.0f, -0.0f, 1.9999999f, -1.9999999f, 2.0f, -2.0f,
                            std::ldexp(1.0f, -17), std::nextafter(std::ldexp(1.0f, -17), 0.0f),
                            std::numeric_limits<float>::denorm_min(), -std::numeric_limits<float>::min(),
                            1e-30f, 3.0e38f, -3.0e38f, 0.99999994f, 1.0000001f, kNaN, kInf};
  std::normal_distribution<float> gaussian(0.0f, 0.3f);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(specials) - 1);
  std::vector<float> values(count);
  for (std::size_t i = 0; i < count; ++i) values[i] = i % 5 == 0 ? specials[pick(rng)] : gaussian(rng);
  return values;
}

// The sums the lanes must give, one exact addition per value.
struct OneByOne {
  ExactSum plain, absolute, squares;
  std::uint64_t non_finite = 0;
  explicit OneByOne(const std::vector<float>& values) {
    for (float value : values) {
      if (!std::isfinite(value)) {
        ++non_finite;
        continue;
      }
      plain.add(value);
      absolute.add(std::fabs(value));
      squares.add(double(value) * double(value));
    }
  }
};

TEST(ExactSum, SumsExactlyWhateverTheOrder) {
  ExactSum sum;
  // 2^24 + 1 in ones: a float32 sum stops at 2^24.
  for (int i = 0; i < (1 << 24) + 1; ++i) sum.add(1.0);
  EXPECT_EQ(sum.to_double(), 16777217.0);
  ExactSum cancelling;
  for (double value : {3.0e38, 1.0, -3.0e38, 0x1p-149, -0.0}) cancelling.add(value);
  EXPECT_EQ(cancelling.to_double(), 1.0 + 0x1p-149);  // rounds to 1 as a double...
  EXPECT_FALSE(cancelling.value().is_zero());
  EXPECT_EQ((cancelling.value() - metrics::WideInteger::from_u64(1).shifted_left(320)).to_double(-320),
            0x1p-149);  // ...but the tiny part is all there

  std::mt19937 rng(1);
  std::vector<double> values;
  for (float value : hostile_values(rng, 4000)) {
    if (std::isfinite(value)) values.push_back(double(value) * (values.size() % 2 ? value : 1.0));
  }
  ExactSum forward, shuffled_parts, merged;
  for (double value : values) forward.add(value);
  std::shuffle(values.begin(), values.end(), rng);
  for (std::size_t i = 0; i < values.size(); ++i) (i % 3 == 0 ? shuffled_parts : merged).add(values[i]);
  merged.merge(shuffled_parts);
  EXPECT_TRUE(merged == forward);
  unsigned char a[ExactSum::kBytes], b[ExactSum::kBytes];
  forward.serialize(a);
  merged.serialize(b);
  EXPECT_TRUE(std::equal(std::begin(a), std::end(a), std::begin(b)));
  EXPECT_TRUE(*ExactSum::deserialize(a) == forward);
}

class ExactSumsOnPath : public testing::TestWithParam<KernelPath> {};

TEST_P(ExactSumsOnPath, LanesGiveTheSumsOfOneValueAtATime) {
  std::mt19937 rng(2);
  for (std::size_t count : {0u, 1u, 7u, 8u, 9u, 1000u, 12345u}) {
    const std::vector<float> values = hostile_values(rng, count);
    const OneByOne expected(values);
    SimilaritySums sums(GetParam());
    // In uneven pieces, as panel rows of different lengths come.
    for (std::size_t first = 0, step = 1; first < values.size(); first += step, step = step * 3 % 61 + 1) {
      sums.add(values.data() + first, std::min(step, values.size() - first));
    }
    EXPECT_EQ(sums.count(), count);
    EXPECT_EQ(sums.non_finite(), expected.non_finite);
    EXPECT_TRUE(sums.plain() == expected.plain) << count;
    EXPECT_TRUE(sums.absolute() == expected.absolute) << count;
    EXPECT_TRUE(sums.squares() == expected.squares) << count;
  }
}

TEST_P(ExactSumsOnPath, LanesFlushBeforeTheyCanOverflow) {
  // More steps than one flush holds, every value at the top of the lanes'
  // range.
  std::vector<float> values((metrics::kFlushSteps + 3) * metrics::kFixedLanes, 1.9999999f);
  SimilaritySums sums(GetParam());
  sums.add(values.data(), values.size());
  ExactSum expected;
  for (std::size_t i = 0; i < values.size(); ++i) expected.add(1.9999999f);
  EXPECT_TRUE(sums.plain() == expected);
}

TEST_P(ExactSumsOnPath, DimensionSumsMatchOneValueAtATime) {
  std::mt19937 rng(3);
  // The scales come from the first rows: make later rows far larger and
  // smaller, and some dimensions zero at first, so that values go every way.
  test_batches::BatchRecipe recipe{300, 37, true, 0.05, 0.02, true};
  metrics::EmbeddingBatch batch = test_batches::random_batch(rng, recipe);
  const std::size_t d = batch.dimension();
  std::vector<ExactSum> plain(d), squares(d);
  std::vector<std::uint64_t> counts(d, 0);
  std::uint64_t non_finite = 0;
  for (std::size_t i = 0; i < batch.rows(); ++i) {
    const auto row = batch.row(i);
    for (std::size_t k = 0; k < row.size() && k < d; ++k) {
      ++counts[k];
      if (!std::isfinite(row[k])) {
        ++non_finite;
        continue;
      }
      plain[k].add(row[k]);
      squares[k].add(double(row[k]) * row[k]);
    }
  }
  for (std::size_t first : {std::size_t{0}, std::size_t{5}}) {
    const std::size_t width = d - first;
    DimensionSums whole(first, width, GetParam());
    whole.add_rows(batch, 0, batch.rows());
    DimensionSums head(first, width, GetParam()), tail(first, width, GetParam());
    tail.add_rows(batch, 200, batch.rows());
    head.add_rows(batch, 0, 200);
    tail.merge(head);
    whole.settle();
    tail.settle();
    for (std::size_t k = 0; k < width; ++k) {
      EXPECT_TRUE(whole.plain(k) == plain[first + k]) << k;
      EXPECT_TRUE(whole.squares(k) == squares[first + k]) << k;
      EXPECT_EQ(whole.count(k), counts[first + k]);
      EXPECT_TRUE(tail.plain(k) == plain[first + k]) << k;
      EXPECT_TRUE(tail.squares(k) == squares[first + k]) << k;
    }
    EXPECT_EQ(whole.rows(), batch.rows());
    if (first == 0) {
      EXPECT_EQ(whole.non_finite(), non_finite);
    }
    const auto bytes = whole.serialize();
    EXPECT_TRUE(std::ranges::equal(bytes, tail.serialize()));
    const auto back = DimensionSums::deserialize(bytes);
    ASSERT_TRUE(back.has_value());
    EXPECT_TRUE(std::ranges::equal(back->serialize(), bytes));
  }
}

TEST_P(ExactSumsOnPath, EveryThreadCountSumsTheSameSimilarities) {
  std::mt19937 rng(4);
  for (const test_batches::BatchRecipe recipe :
       {test_batches::BatchRecipe{700, 48, false, 0.0, 0.0}, test_batches::BatchRecipe{333, 20, true, 0.01, 0.05, true}}) {
    const metrics::EmbeddingBatch batch = test_batches::random_batch(rng, recipe);
    const metrics::PairSimilarities similarities(batch, GetParam(), 1, true);
    SimilaritySums in_order(GetParam());
    similarities.for_each_row([&](std::size_t, const float* values, std::size_t count) {
      in_order.add(values, count);
    });
    for (unsigned threads : {1u, 2u, 3u, 7u}) {
      metrics::PassOptions options;
      options.threads = threads;
      EXPECT_TRUE(similarities.exact_sums(options) == in_order) << threads;
    }
    // And the measures on top of them, whatever the path or thread count.
    metrics::PassOptions options;
    options.kernel_path = GetParam();
    const metrics::SoundMeasures one = metrics::compute_sound_measures(batch, options);
    options.threads = 3;
    const metrics::SoundMeasures three = metrics::compute_sound_measures(batch, options);
    options.kernel_path = KernelPath::portable;
    const metrics::SoundMeasures portable = metrics::compute_sound_measures(batch, options);
    for (const auto& other : {three, portable}) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(other.isotropy), std::bit_cast<std::uint64_t>(one.isotropy));
      EXPECT_EQ(std::bit_cast<std::uint64_t>(other.coverage), std::bit_cast<std::uint64_t>(one.coverage));
      EXPECT_EQ(std::bit_cast<std::uint64_t>(other.distinctiveness),
                std::bit_cast<std::uint64_t>(one.distinctiveness));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(SupportedPaths, ExactSumsOnPath, testing::ValuesIn(metrics::supported_kernel_paths()),
                         [](const testing::TestParamInfo<KernelPath>& info) {
                           return std::string(metrics::kernel_path_name(info.param));
                         });

TEST(SoundMeasures, IdenticalRowsStayCollinearAtAnySize) {
  // Every similarity is the same, just below 1: a float32 running total
  // stops at 2^24 and makes 8000 such rows look far apart.
  metrics::EmbeddingBatch batch;
  for (int i = 0; i < 8000; ++i) {
    batch.start_row();
    batch.push(1.0f);
    batch.push(2.0f);
  }
  const float library = metrics::compute_isotropy(batch);
  EXPECT_GT(library, 0.4f);
  const metrics::SoundMeasures sound = metrics::compute_sound_measures(batch);
  // Each similarity rounds to 0.99999994 = 1 - 2^-24.
  EXPECT_EQ(sound.isotropy, 0x1p-24);
  EXPECT_EQ(sound.distinctiveness, 0x1p-24);
  EXPECT_EQ(sound.coverage, 0.0);
}

TEST(SoundMeasures, ScaleDoesNotChangeTheDirectionOfExtremeRows) {
  // Rows whose squares overflow or underflow point where their copies
  // scaled by a power of two point, to the last bit.
  const auto measures_of = [](float scale) {
    metrics::EmbeddingBatch batch = metrics::EmbeddingBatch::from_rows(
        {{3.0f * scale, 4.0f * scale}, {4.0f, 3.0f}, {1.0f, 0.0f}, {0.0f, 2.0f * scale}});
    return metrics::compute_sound_measures(batch);
  };
  const metrics::SoundMeasures plain = measures_of(1.0f);
  for (float scale : {0x1p100f, 0x1p-100f, 0x1p-140f}) {
    const metrics::SoundMeasures scaled = measures_of(scale);
    EXPECT_EQ(scaled.isotropy, plain.isotropy) << scale;
    EXPECT_EQ(scaled.distinctiveness, plain.distinctiveness) << scale;
  }
  // NaN and infinity give what float32 gives.
  const metrics::EmbeddingBatch bad = metrics::EmbeddingBatch::from_rows({{kNaN, 0.0f}, {0.0f, 1.0f}});
  const metrics::SoundMeasures sound = metrics::compute_sound_measures(bad);
  EXPECT_EQ(sound.isotropy, double(metrics::compute_isotropy(bad).value));
  EXPECT_EQ(sound.coverage, double(metrics::compute_coverage(bad).value));
  EXPECT_EQ(sound.distinctiveness, double(metrics::compute_distinctiveness(bad).value));
}

TEST(SoundMeasures, SerialisedStatesRefuseWhatNoStateWrites) {
  SimilaritySums sums;
  const float values[] = {0.5f, -0.25f, kNaN};
  sums.add(values, 3);
  unsigned char bytes[SimilaritySums::kBytes];
  sums.serialize(bytes);
  ASSERT_TRUE(SimilaritySums::deserialize(bytes).has_value());
  EXPECT_TRUE(*SimilaritySums::deserialize(bytes) == sums);
  EXPECT_FALSE(SimilaritySums::deserialize(std::span<const unsigned char>(bytes, sizeof bytes - 1)));
  unsigned char corrupt[SimilaritySums::kBytes];
  std::copy(std::begin(bytes), std::end(bytes), corrupt);
  corrupt[16] = 9;  // more non-finite values than values
  EXPECT_FALSE(SimilaritySums::deserialize(corrupt));
  std::copy(std::begin(bytes), std::end(bytes), corrupt);
  corrupt[sizeof corrupt - 2] = 0x40;  // a sum far beyond any real one
  EXPECT_FALSE(SimilaritySums::deserialize(corrupt));
  const unsigned char short_dimensions[] = {'v', 'x', 'd', 'i', 'm', 0, 0, 1};
  EXPECT_FALSE(DimensionSums::deserialize(short_dimensions));
}

}  // namespace
