// A batch that borrows its rows must give exactly the bits of the same rows
// owned, never be written to, tell its keeper how the packing walks the
// rows, and destroy the keeper with itself.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "failure_message.hpp"
#include "float_bits.hpp"
#include "metrics.hpp"
#include "random_batches.hpp"

using metrics::EmbeddingBatch;

namespace {

struct Heard {
  int walks = 0;
  std::vector<std::size_t> ends;
  bool destroyed = false;
};

class ListeningKeeper final : public metrics::MemoryKeeper {
 public:
  explicit ListeningKeeper(Heard& heard) : heard_(heard) {}
  ~ListeningKeeper() override { heard_.destroyed = true; }
  void reading_rows_in_order() noexcept override {
    ++heard_.walks;
    heard_.ends.clear();
  }
  void rows_read(std::size_t end) noexcept override { heard_.ends.push_back(end); }

 private:
  Heard& heard_;
};

EmbeddingBatch borrow(const std::vector<float>& values, std::size_t rows, std::size_t d, Heard& heard) {
  return EmbeddingBatch::borrowing(values.data(), rows, d, std::make_unique<ListeningKeeper>(heard));
}

}  // namespace

TEST(BorrowedBatch, GivesTheBitsOfTheSameRowsOwned) {
  std::mt19937 rng(12);
  for (std::size_t n : {0, 1, 2, 17, 130}) {
    for (std::size_t d : {0, 1, 9, 96}) {
      const EmbeddingBatch owned = test_batches::random_batch(rng, test_batches::BatchRecipe{n, d, false, 0.02, 0.0});
      const std::vector<float> values(owned.values().begin(), owned.values().end());
      Heard heard;
      const EmbeddingBatch borrowed = borrow(values, n, d, heard);
      SCOPED_TRACE(std::to_string(n) + " x " + std::to_string(d));
      ASSERT_EQ(borrowed.rows(), owned.rows());
      EXPECT_EQ(borrowed.dimension(), owned.dimension());
      EXPECT_EQ(borrowed.value_count(), n * d);
      const metrics::BatchMeasures a = metrics::compute_batch_measures(borrowed);
      const metrics::BatchMeasures b = metrics::compute_batch_measures(owned);
      EXPECT_EQ(bits(a.isotropy), bits(b.isotropy));
      EXPECT_EQ(bits(a.coverage), bits(b.coverage));
      EXPECT_EQ(bits(a.distinctiveness), bits(b.distinctiveness));
      EXPECT_EQ(bits(a.quality_score), bits(b.quality_score));
      EXPECT_EQ(bits(metrics::compute_isotropy(borrowed)), bits(metrics::compute_isotropy(owned)));
      EXPECT_EQ(bits(metrics::detect_drift(borrowed, owned)), bits(metrics::detect_drift(owned, owned)));
      EXPECT_EQ(metrics::find_non_finite_rows(borrowed).count, metrics::find_non_finite_rows(owned).count);
    }
  }
}

TEST(BorrowedBatch, IsNeverWrittenAndCanBeMadeOwned) {
  const std::vector<float> values = {1, 2, 3, 4, 5, 6};
  Heard heard;
  EmbeddingBatch batch = borrow(values, 3, 2, heard);
  EXPECT_EQ(failure_message([&] { batch.writable_row(0); }), "a borrowed batch is read-only");
  EXPECT_EQ(failure_message([&] { batch.start_row(); }), "a borrowed batch is read-only");
  EXPECT_EQ(failure_message([&] { batch.append_rectangle(1, 2); }), "a borrowed batch is read-only");
  batch.make_owned();
  EXPECT_TRUE(heard.destroyed);
  EXPECT_FALSE(batch.borrowed());
  ASSERT_EQ(batch.rows(), 3u);
  EXPECT_EQ(batch.row(2)[1], 6.0f);
  batch.writable_row(2)[1] = 7.0f;
  EXPECT_EQ(values[5], 6.0f);
}

TEST(BorrowedBatch, ThePackingWalksTheRowsOnceInOrderAndTheKeeperGoesWithTheBatch) {
  std::vector<float> values(100 * 8);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = float(i % 13) - 6.0f;
  Heard heard;
  {
    const EmbeddingBatch batch = borrow(values, 100, 8, heard);
    metrics::compute_isotropy(batch);
    EXPECT_EQ(heard.walks, 1);
    ASSERT_FALSE(heard.ends.empty());
    for (std::size_t t = 1; t < heard.ends.size(); ++t) EXPECT_LE(heard.ends[t - 1], heard.ends[t]);
    EXPECT_EQ(heard.ends.back(), 100u);
    EXPECT_FALSE(heard.destroyed);
  }
  EXPECT_TRUE(heard.destroyed);
}
