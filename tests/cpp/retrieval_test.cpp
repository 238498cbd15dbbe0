// compute_retrieval_metrics and the identifier set behind it.
#include <gtest/gtest.h>

#include "float_bits.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <unordered_set>
#include <vector>

#include "failure.hpp"
#include "identifier_set.hpp"
#include "log2f.hpp"
#include "metrics.hpp"

namespace {

using metrics::IdentifierSet;
using metrics::RetrievalMetrics;
using Ids = std::vector<std::uint64_t>;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kTop = std::uint64_t{1} << 63;


RetrievalMetrics compute(const Ids& retrieved, const Ids& relevant, std::uint64_t top_k) {
  return metrics::compute_retrieval_metrics(retrieved, relevant, top_k);
}

// Expected fields as float32 bit patterns, in record order.
struct Expected {
  std::uint32_t precision, recall, f1_score, mrr, ndcg;
};

// Bit patterns of the expected results, from the shortest decimals that name them.
constexpr std::uint32_t pattern(float value) { return std::bit_cast<std::uint32_t>(value); }
constexpr std::uint32_t kZero = pattern(0.0f);
constexpr std::uint32_t kOne = pattern(1.0f);
constexpr std::uint32_t kHalf = pattern(0.5f);
constexpr std::uint32_t kQuarter = pattern(0.25f);
constexpr std::uint32_t kTwoThirds = pattern(0.6666667f);
constexpr std::uint32_t kOneThird = pattern(0.33333334f);
constexpr std::uint32_t kPoint8 = pattern(0.8f);
constexpr std::uint32_t kPoint4 = pattern(0.4f);
constexpr std::uint32_t kWorkedNdcg = pattern(0.81546485f);

void expect_metrics(const RetrievalMetrics& got, const Expected& want) {
  EXPECT_EQ(bits(got.precision), want.precision) << "precision " << got.precision;
  EXPECT_EQ(bits(got.recall), want.recall) << "recall " << got.recall;
  EXPECT_EQ(bits(got.f1_score), want.f1_score) << "f1_score " << got.f1_score;
  EXPECT_EQ(bits(got.mrr), want.mrr) << "mrr " << got.mrr;
  EXPECT_EQ(bits(got.ndcg), want.ndcg) << "ndcg " << got.ndcg;
}

const Expected kAllZero{kZero, kZero, kZero, kZero, kZero};

}  // namespace

TEST(RetrievalMetrics, BothListsEmpty) {
  for (const std::uint64_t top_k : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{10}, kMax}) {
    SCOPED_TRACE(top_k);
    expect_metrics(compute({}, {}, top_k), kAllZero);
  }
}

TEST(RetrievalMetrics, RelevantEmpty) { expect_metrics(compute({1, 2, 3}, {}, 2), kAllZero); }

TEST(RetrievalMetrics, RetrievedEmpty) {
  // The ideal DCG is 1 but the DCG is 0.
  expect_metrics(compute({}, {1}, 5), kAllZero);
}

TEST(RetrievalMetrics, NoCommonIdentifier) { expect_metrics(compute({1, 2}, {3}, 2), kAllZero); }

TEST(RetrievalMetrics, WorkedExample) {
  expect_metrics(compute({3, 1, 2}, {1, 2}, 3), {kTwoThirds, kOne, kPoint8, kHalf, kWorkedNdcg});
}

TEST(RetrievalMetrics, SingleRelevantAtSecondPositionEarnsFullNdcg) {
  // The cut-off is the list length 2, not top_k.
  expect_metrics(compute({7, 1}, {1}, 10), {kHalf, kOne, kTwoThirds, kHalf, kOne});
}

TEST(RetrievalMetrics, HitsBeyondCutoffCountExceptForNdcg) {
  expect_metrics(compute({9, 8, 1, 2}, {1, 2}, 2), {kOne, kOne, kOne, kOneThird, kZero});
}

TEST(RetrievalMetrics, F1UsesUnclampedPrecision) {
  // Raw precision 4 / 2 = 2 is reported as 1; F1 = 2 * 2 * 0.5 / 2.5 = 0.8,
  // not the 0.6666667 that the clamped precision would give.
  expect_metrics(compute({1, 2, 3, 4}, {1, 2, 3, 4, 5, 6, 7, 8}, 2),
                 {kOne, kHalf, kPoint8, kOne, kOne});
}

TEST(RetrievalMetrics, DuplicatesInRetrieved) {
  // One hit; the DCG w(0) + w(1) = 2 over an ideal DCG of 1 is clamped to 1.
  expect_metrics(compute({1, 1, 2}, {1}, 3), {kOneThird, kOne, kHalf, kOne, kOne});
}

TEST(RetrievalMetrics, DuplicatesInRelevant) {
  // The ideal depth is 2, so the ideal DCG is 2.
  expect_metrics(compute({1}, {1, 1}, 2), {kOne, kHalf, kTwoThirds, kOne, kHalf});
}

TEST(RetrievalMetrics, TopKZero) {
  // MRR ignores top_k.
  expect_metrics(compute({1, 2}, {1}, 0), {kZero, kOne, kZero, kOne, kZero});
}

TEST(RetrievalMetrics, TopKLargerThanBothLists) {
  const Expected want{kQuarter, kOne, kPoint4, kQuarter, kHalf};
  expect_metrics(compute({4, 5, 6, 1}, {1}, 4), want);
  expect_metrics(compute({4, 5, 6, 1}, {1}, 100), want);
  expect_metrics(compute({4, 5, 6, 1}, {1}, kMax), want);
  expect_metrics(compute({4, 5, 6, 1}, {1}, kTop), want);
}

TEST(RetrievalMetrics, IdentifiersAtTheTopOfTheUnsignedRange) {
  const Expected want{kHalf, kOne, kTwoThirds, kHalf, kOne};
  expect_metrics(compute({kMax, kTop}, {kTop}, 2), want);
  expect_metrics(compute({kMax, kTop}, {kTop}, kMax), want);
  // 2^64 - 1 and 2^63 are distinct from each other and from 0, 2^63 - 1.
  expect_metrics(compute({kMax, kTop}, {0, kTop - 1, kMax - 1}, 2), kAllZero);
  expect_metrics(compute({kTop - 1, kMax}, {kMax}, 2), want);
}

TEST(RetrievalMetrics, IdentifierZeroIsOrdinary) {
  expect_metrics(compute({5, 0}, {0}, 2), {kHalf, kOne, kTwoThirds, kHalf, kOne});
  expect_metrics(compute({0, 0}, {1}, 2), kAllZero);
  expect_metrics(compute({1}, {0}, 1), kAllZero);
}

TEST(RetrievalMetrics, MrrStopsAtTheFirstHitOfTheWholeList) {
  // Positions 0..6 miss, 7 and 8 hit: 1 / 8.
  const RetrievalMetrics got = compute({10, 11, 12, 13, 14, 15, 16, 1, 2}, {2, 1}, 1);
  EXPECT_EQ(bits(got.mrr), bits(0.125f));
  EXPECT_EQ(bits(got.ndcg), kZero);
  // Two hits, cut-off 1: raw precision 2 is clamped, F1 from P = 2, R = 1.
  EXPECT_EQ(bits(got.precision), kOne);
  EXPECT_EQ(bits(got.recall), kOne);
  EXPECT_EQ(bits(got.f1_score), kOne);
}

TEST(RetrievalMetrics, DcgSumsWeightsInPositionOrder) {
  // Hits at positions 2, 4, 7 within a cut-off of 8; ideal depth 3.
  const Ids retrieved{100, 101, 1, 102, 2, 103, 104, 3, 4};
  const Ids relevant{1, 2, 3};
  float dcg = 0.0f;
  dcg = dcg + metrics::position_weight(2);
  dcg = dcg + metrics::position_weight(4);
  dcg = dcg + metrics::position_weight(7);
  float ideal = 0.0f;
  for (std::uint64_t i = 0; i < 3; ++i) ideal = ideal + metrics::position_weight(i);
  const RetrievalMetrics got = compute(retrieved, relevant, 8);
  EXPECT_EQ(bits(got.ndcg), bits(dcg / ideal));
  EXPECT_EQ(bits(got.precision), bits(3.0f / 8.0f));
  EXPECT_EQ(bits(got.mrr), bits(1.0f / 3.0f));
}

TEST(RetrievalMetrics, FieldsStayInTheUnitInterval) {
  std::mt19937_64 random(7);
  for (int round = 0; round < 2000; ++round) {
    Ids retrieved(random() % 12), relevant(random() % 12);
    for (auto& id : retrieved) id = random() % 8;
    for (auto& id : relevant) id = random() % 8;
    const RetrievalMetrics got = compute(retrieved, relevant, random() % 16);
    for (const float field : {got.precision, got.recall, got.f1_score, got.mrr, got.ndcg}) {
      EXPECT_GE(field, 0.0f);
      EXPECT_LE(field, 1.0f);
    }
  }
}

namespace {

// A direct transcription of the definition with standard containers, to compare
// the hash set and the loops against on random lists.
RetrievalMetrics reference_metrics(const Ids& retrieved, const Ids& relevant, std::uint64_t top_k) {
  auto clamp = [](float x) { return std::fmin(std::fmax(x, 0.0f), 1.0f); };
  const std::unordered_set<std::uint64_t> retrieved_set(retrieved.begin(), retrieved.end());
  const std::unordered_set<std::uint64_t> relevant_set(relevant.begin(), relevant.end());
  std::uint64_t hit_count = 0;
  for (const std::uint64_t id : retrieved_set) hit_count += relevant_set.count(id);
  const float hits = static_cast<float>(hit_count);
  const std::uint64_t cutoff = std::min<std::uint64_t>(top_k, retrieved.size());
  const float p = cutoff > 0 ? hits / static_cast<float>(cutoff) : 0.0f;
  const float r = !relevant.empty() ? hits / static_cast<float>(relevant.size()) : 0.0f;
  float f1 = 0.0f;
  if (p + r > 0.0f) {
    const float pr = p * r;
    f1 = clamp((pr + pr) / (p + r));
  }
  float mrr = 0.0f;
  for (std::size_t i = 0; i < retrieved.size() && !relevant_set.empty(); ++i) {
    if (relevant_set.count(retrieved[i])) {
      mrr = clamp(1.0f / (static_cast<float>(i) + 1.0f));
      break;
    }
  }
  float dcg = 0.0f;
  for (std::uint64_t i = 0; top_k > 0 && i < cutoff; ++i) {
    if (relevant_set.count(retrieved[i])) dcg = dcg + metrics::position_weight(i);
  }
  float ideal = 0.0f;
  for (std::uint64_t i = 0; i < std::min<std::uint64_t>(top_k, relevant.size()); ++i) {
    ideal = ideal + metrics::position_weight(i);
  }
  return {clamp(p), clamp(r), f1, mrr, ideal > 0.0f ? clamp(dcg / ideal) : 0.0f};
}

}  // namespace

TEST(RetrievalMetrics, MatchesAStraightforwardReferenceOnRandomLists) {
  std::mt19937_64 random(12345);
  for (int round = 0; round < 3000; ++round) {
    const std::size_t n_retrieved = random() % 300;
    const std::size_t n_relevant = random() % 300;
    // A small universe gives duplicates and hits, a large one the full range.
    const std::uint64_t universe = round % 3 == 0 ? 0 : 1 + random() % 500;
    auto draw = [&] {
      const std::uint64_t id = universe == 0 ? random() : random() % universe;
      // Fold some draws onto the top of the range and onto 0.
      return round % 5 == 1 ? kMax - id : id;
    };
    Ids retrieved(n_retrieved), relevant(n_relevant);
    for (auto& id : retrieved) id = draw();
    for (auto& id : relevant)
      id =
          random() % 4 == 0 && !retrieved.empty() ? retrieved[random() % retrieved.size()] : draw();
    const std::uint64_t top_k = round % 7 == 0 ? kMax : random() % 400;
    SCOPED_TRACE(round);
    const RetrievalMetrics want = reference_metrics(retrieved, relevant, top_k);
    expect_metrics(compute(retrieved, relevant, top_k),
                   {bits(want.precision), bits(want.recall), bits(want.f1_score), bits(want.mrr),
                    bits(want.ndcg)});
  }
}

TEST(RetrievalMetrics, LongListsUseTheCorrectlyRoundedWeights) {
  // Retrieved 0..n-1, relevant = the odd identifiers: hits at odd positions,
  // including position 4164, where glibc's log2f(4165) is one ulp off.
  constexpr std::size_t n = 40000;
  Ids retrieved(n), relevant;
  for (std::size_t i = 0; i < n; ++i) {
    retrieved[i] = i;
    if (i % 2 == 1) relevant.push_back(i);
  }
  const RetrievalMetrics got = compute(retrieved, relevant, n);
  const RetrievalMetrics want = reference_metrics(retrieved, relevant, n);
  EXPECT_EQ(bits(got.ndcg), bits(want.ndcg));
  EXPECT_EQ(bits(got.precision), kHalf);
  EXPECT_EQ(bits(got.recall), kOne);
  EXPECT_EQ(bits(got.mrr), kHalf);
}

// --- the identifier set ----------------------------------------------------

TEST(IdentifierSet, EmptyListHasNoTableAndNoMembers) {
  const IdentifierSet set(std::span<const std::uint64_t>{});
  EXPECT_EQ(set.size(), 0u);
  EXPECT_TRUE(set.empty());
  EXPECT_EQ(set.table_size(), 0u);
  EXPECT_FALSE(set.contains(0));
  EXPECT_FALSE(set.contains(1));
  EXPECT_FALSE(set.contains(kMax));
}

TEST(IdentifierSet, TableIsAPowerOfTwoAtLeastTwiceTheLength) {
  EXPECT_EQ(IdentifierSet::table_size_for(0), 0u);
  EXPECT_EQ(IdentifierSet::table_size_for(1), 2u);
  EXPECT_EQ(IdentifierSet::table_size_for(2), 4u);
  EXPECT_EQ(IdentifierSet::table_size_for(3), 8u);
  EXPECT_EQ(IdentifierSet::table_size_for(4), 8u);
  EXPECT_EQ(IdentifierSet::table_size_for(5), 16u);
  EXPECT_EQ(IdentifierSet::table_size_for(1000), 2048u);
  const std::size_t largest = (std::numeric_limits<std::size_t>::max() >> 2) + 1;
  EXPECT_EQ(IdentifierSet::table_size_for(largest),
            std::size_t{1} << (std::numeric_limits<std::size_t>::digits - 1));
  try {
    IdentifierSet::table_size_for(largest + 1);
    FAIL() << "expected an internal failure";
  } catch (const metrics::InternalFailure& failure) {
    EXPECT_EQ(failure.message(), "capacity overflow");
  }
  const Ids ids{4, 5, 6};
  EXPECT_EQ(IdentifierSet(ids).table_size(), 8u);
}

TEST(IdentifierSet, ZeroAndAllOnesAreOrdinaryValues) {
  const Ids only_zero{0};
  const IdentifierSet zero(only_zero);
  EXPECT_EQ(zero.size(), 1u);
  EXPECT_TRUE(zero.contains(0));
  EXPECT_FALSE(zero.contains(1));
  EXPECT_FALSE(zero.contains(kMax));

  const Ids only_max{kMax};
  const IdentifierSet max(only_max);
  EXPECT_EQ(max.size(), 1u);
  EXPECT_TRUE(max.contains(kMax));
  EXPECT_FALSE(max.contains(0));
  EXPECT_FALSE(max.contains(kMax - 1));

  const Ids edges{kMax, kTop, 0, 0, kMax, kTop, 1};
  const IdentifierSet set(edges);
  EXPECT_EQ(set.size(), 4u);
  for (const std::uint64_t id : {std::uint64_t{0}, std::uint64_t{1}, kTop, kMax})
    EXPECT_TRUE(set.contains(id)) << id;
  for (const std::uint64_t id : {std::uint64_t{2}, kTop - 1, kTop + 1, kMax - 1})
    EXPECT_FALSE(set.contains(id)) << id;

  Ids visited;
  set.for_each([&](std::uint64_t id) { visited.push_back(id); });
  std::sort(visited.begin(), visited.end());
  EXPECT_EQ(visited, (Ids{0, 1, kTop, kMax}));
}

TEST(IdentifierSet, DuplicatesAreCountedOnce) {
  const Ids repeated(1000, 5);
  const IdentifierSet set(repeated);
  EXPECT_EQ(set.size(), 1u);
  EXPECT_EQ(set.table_size(), 2048u);
  EXPECT_TRUE(set.contains(5));
  EXPECT_FALSE(set.contains(0));

  const Ids zeros(7, 0);
  EXPECT_EQ(IdentifierSet(zeros).size(), 1u);
}

TEST(IdentifierSet, ExactOnTheWhole64BitValue) {
  // Values that agree in their low or high 32 bits, strided values and values
  // near the top of the range, against a standard set.
  Ids ids;
  for (std::uint64_t i = 0; i < 2000; ++i) {
    ids.push_back(i << 32);
    ids.push_back((i << 32) | 0xffffffffu);
    ids.push_back(i * 4096);
    ids.push_back(kMax - i);
    ids.push_back(kTop + i);
  }
  std::mt19937_64 random(99);
  for (int i = 0; i < 20000; ++i) ids.push_back(random());
  const IdentifierSet set(ids);
  const std::unordered_set<std::uint64_t> expected(ids.begin(), ids.end());
  EXPECT_EQ(set.size(), expected.size());
  for (const std::uint64_t id : ids) ASSERT_TRUE(set.contains(id)) << id;
  for (std::uint64_t i = 0; i < 2000; ++i) {
    for (const std::uint64_t probe :
         {(i << 32) | 1, (i << 32) + 0xfffffffeu, i * 4096 + 1, kTop - 1 - i, kMax - 2000 - i}) {
      EXPECT_EQ(set.contains(probe), expected.count(probe) == 1) << probe;
    }
  }
  for (int i = 0; i < 20000; ++i) {
    const std::uint64_t probe = random();
    EXPECT_EQ(set.contains(probe), expected.count(probe) == 1) << probe;
  }
  std::size_t visited = 0;
  set.for_each([&](std::uint64_t id) {
    ++visited;
    EXPECT_EQ(expected.count(id), 1u) << id;
  });
  EXPECT_EQ(visited, expected.size());
}

TEST(IdentifierSet, IntersectionIsSymmetricAndCountsDistinctValues) {
  const Ids a{0, kMax, kTop, 1, 1, 2, 3, 0};
  const Ids b{kMax, 0, 3, 3, 4, 5, 6, 7, 8, 9, kTop - 1};
  const IdentifierSet set_a(a), set_b(b), empty(std::span<const std::uint64_t>{});
  EXPECT_EQ(metrics::intersection_size(set_a, set_b), 3u);  // 0, 3, 2^64 - 1
  EXPECT_EQ(metrics::intersection_size(set_b, set_a), 3u);
  EXPECT_EQ(metrics::intersection_size(set_a, set_a), set_a.size());
  EXPECT_EQ(metrics::intersection_size(set_a, empty), 0u);
  EXPECT_EQ(metrics::intersection_size(empty, set_b), 0u);
}

// --- identifiers chosen to collide ------------------------------------------

namespace {

// The inverse of IdentifierSet::mix, so that tests can choose the slot of a
// value for a known seed, as an attacker who knew the seed could.
std::uint64_t unmix(std::uint64_t value) {
  value ^= value >> 33;
  value *= 0xcdb0cea6789ebd49ULL;  // inverse of 0xc4ceb93fe53ec4f9
  value ^= value >> 33;
  value *= 0x4f74430c22a54005ULL;  // inverse of 0xff51afd7ed558ccd
  value ^= value >> 33;
  return value;
}

// A value whose slot under `seed` is `slot` (in any table up to 2^32 slots),
// with `salt` telling apart values aimed at the same slot.
std::uint64_t aimed_at(std::uint64_t slot, std::uint64_t salt, std::uint64_t seed) {
  return unmix((salt << 32) | slot) ^ seed;
}

void expect_same_members(const IdentifierSet& set, const Ids& values, const Ids& probes) {
  const std::unordered_set<std::uint64_t> expected(values.begin(), values.end());
  ASSERT_EQ(set.size(), expected.size());
  for (const std::uint64_t id : values) ASSERT_TRUE(set.contains(id)) << id;
  for (const std::uint64_t id : probes) ASSERT_EQ(set.contains(id), expected.count(id) == 1) << id;
  std::size_t visited = 0;
  set.for_each([&](std::uint64_t id) {
    ++visited;
    ASSERT_EQ(expected.count(id), 1u) << id;
  });
  EXPECT_EQ(visited, expected.size());
}

}  // namespace

TEST(IdentifierSetCollisions, MixerInverseIsExact) {
  std::mt19937_64 random(5);
  for (int i = 0; i < 1000; ++i) {
    const std::uint64_t value = random();
    ASSERT_EQ(unmix(IdentifierSet::mix(value)), value);
    ASSERT_EQ(IdentifierSet::mix(aimed_at(17, value >> 40, 99) ^ 99) & 0xffffffffu, 17u);
  }
}

TEST(IdentifierSetCollisions, ValuesAimedAtOneSlotTurnTheSetToSortedValues) {
  constexpr std::uint64_t kSeed = 0x1234;
  Ids values, probes;
  for (std::uint64_t i = 1; i <= 5000; ++i) {
    values.push_back(aimed_at(0, i, kSeed));
    probes.push_back(aimed_at(0, i + 5000, kSeed));  // absent, aimed at the same slot
  }
  values.push_back(values[7]);  // duplicates, and 0 after the walks grew long
  values.push_back(0);
  const IdentifierSet set(values, kSeed);
  EXPECT_TRUE(set.uses_sorted_values());
  EXPECT_EQ(set.table_size(), 0u);
  probes.push_back(1);
  expect_same_members(set, values, probes);
  EXPECT_TRUE(set.contains(0));
}

TEST(IdentifierSetCollisions, LongRunOfNeighbouringSlotsSortsOnTheFirstLongLookup) {
  // Each value takes its own slot, so every insertion is one step; but they
  // fill a run of 3000 neighbouring slots that a lookup aimed at its start
  // would walk through.
  constexpr std::uint64_t kSeed = 77;
  Ids values;
  for (std::uint64_t slot = 0; slot < 3000; ++slot) values.push_back(aimed_at(slot, 1, kSeed));
  const IdentifierSet set(values, kSeed);
  EXPECT_FALSE(set.uses_sorted_values());
  EXPECT_FALSE(set.contains(aimed_at(0, 2, kSeed)));
  EXPECT_TRUE(set.uses_sorted_values());
  Ids probes;
  for (std::uint64_t slot = 0; slot < 3000; ++slot) probes.push_back(aimed_at(slot, 3, kSeed));
  expect_same_members(set, values, probes);
}

TEST(IdentifierSetCollisions, RandomValuesKeepTheTable) {
  std::mt19937_64 random(11);
  for (const std::size_t length : {std::size_t{1000}, std::size_t{65536}, std::size_t{300000}}) {
    Ids values(length);
    for (auto& value : values) value = random();
    const IdentifierSet set(values);
    // Lookups of absent values walk the longest runs.
    std::size_t found = 0;
    for (std::size_t i = 0; i < 4 * length; ++i) found += set.contains(random()) ? 1 : 0;
    EXPECT_EQ(found, 0u);
    EXPECT_FALSE(set.uses_sorted_values()) << length;
  }
}

TEST(IdentifierSetCollisions, RetrievalOnIdentifiersCraftedForAFixedHashIsExact) {
  // Identifiers that all collide under the unseeded mixer.
  Ids retrieved, relevant;
  for (std::uint64_t i = 1; i <= 4000; ++i) {
    retrieved.push_back(aimed_at(0, i, 0));
    if (i % 3 == 0) relevant.push_back(aimed_at(0, i, 0));
    if (i % 5 == 0) relevant.push_back(aimed_at(0, i + 4000, 0));
  }
  for (const std::uint64_t top_k : {std::uint64_t{0}, std::uint64_t{10}, std::uint64_t{4000}}) {
    const RetrievalMetrics got = compute(retrieved, relevant, top_k);
    const RetrievalMetrics want = reference_metrics(retrieved, relevant, top_k);
    EXPECT_EQ(bits(got.precision), bits(want.precision));
    EXPECT_EQ(bits(got.recall), bits(want.recall));
    EXPECT_EQ(bits(got.f1_score), bits(want.f1_score));
    EXPECT_EQ(bits(got.mrr), bits(want.mrr));
    EXPECT_EQ(bits(got.ndcg), bits(want.ndcg));
  }
}
