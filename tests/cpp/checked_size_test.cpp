// Sizes that reach a batch from a producer's shape are never wrapped: a
// batch asked for more than memory can hold fails with AllocationFailure
// (MemoryError at the module boundary) before anything is sized, and one
// asked to borrow a rectangle larger than the address space refuses.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "checked_size.hpp"
#include "failure_message.hpp"
#include "metrics.hpp"

using metrics::AllocationFailure;
using metrics::EmbeddingBatch;

namespace {

constexpr std::size_t kSizeMax = std::numeric_limits<std::size_t>::max();

std::size_t failed_bytes(auto&& call) {
  try {
    call();
  } catch (const AllocationFailure& failure) {
    return failure.bytes();
  }
  return 0;
}

}  // namespace

TEST(CheckedSize, MixesSignednessExactly) {
  EXPECT_EQ(metrics::checked_product<std::ptrdiff_t>(std::int64_t{-1} << 61, std::size_t{4}),
            std::numeric_limits<std::ptrdiff_t>::min());
  EXPECT_FALSE(metrics::checked_product<std::ptrdiff_t>(std::size_t{1} << 61, std::size_t{4}));
  EXPECT_FALSE(metrics::checked_product<std::size_t>(std::int64_t{-1}, std::size_t{0} + 1));
  EXPECT_EQ(metrics::checked_sum<std::uintptr_t>(std::uintptr_t{16}, std::ptrdiff_t{-16}), 0u);
  EXPECT_FALSE(metrics::checked_sum<std::uintptr_t>(std::uintptr_t{16}, std::ptrdiff_t{-17}));
  EXPECT_FALSE(metrics::checked_sum<std::int64_t>(std::numeric_limits<std::int64_t>::max() - 1, 2));
  EXPECT_FALSE(metrics::checked_difference<std::ptrdiff_t>(std::ptrdiff_t{1},
                                                           std::numeric_limits<std::ptrdiff_t>::min()));
}

TEST(CheckedSize, RectanglesBeyondMemoryAreAllocationFailures) {
  // 3 * (2**64 / 3 + 1) wraps to 2: the batch was once sized for 2 values.
  EmbeddingBatch batch;
  EXPECT_EQ(failed_bytes([&] { batch.append_rectangle(3, kSizeMax / 3 + 1); }), kSizeMax);
  EXPECT_EQ(batch.rows(), 0u);
  EXPECT_EQ(batch.value_count(), 0u);
  // 2**62 floats need 2**64 bytes, 2**61 rows 2**64 bytes of row starts.
  EXPECT_EQ(failed_bytes([&] { batch.append_rectangle(1, std::size_t{1} << 62); }), kSizeMax);
  EXPECT_EQ(failed_bytes([&] { batch.append_rectangle(std::size_t{1} << 61, 0); }), kSizeMax);
  EXPECT_EQ(failed_bytes([&] { batch.reserve_rows(std::size_t{1} << 61); }), kSizeMax);
  EXPECT_EQ(failed_bytes([&] { batch.reserve_values(std::size_t{1} << 61); }), std::size_t{1} << 63);
  // Added to what the batch holds already.
  batch.append_rectangle(1, 3);
  batch.start_row();
  EXPECT_EQ(failed_bytes([&] { batch.append_values(kSizeMax - 1); }), kSizeMax);
  EXPECT_EQ(failed_bytes([&] { batch.append_rectangle(1, kSizeMax - 2); }), kSizeMax);
  EXPECT_EQ(batch.rows(), 2u);
  EXPECT_EQ(batch.value_count(), 3u);
}

TEST(CheckedSize, AppendedValuesExtendTheLastRow) {
  EmbeddingBatch batch;
  batch.start_row();
  float* first = batch.append_values(2);
  first[0] = 1.0f;
  first[1] = 2.0f;
  batch.start_row();
  batch.append_values(0);
  batch.start_row();
  *batch.append_values(1) = 3.0f;
  ASSERT_EQ(batch.rows(), 3u);
  EXPECT_EQ(std::vector<float>(batch.row(0).begin(), batch.row(0).end()), (std::vector<float>{1.0f, 2.0f}));
  EXPECT_TRUE(batch.row(1).empty());
  EXPECT_EQ(std::vector<float>(batch.row(2).begin(), batch.row(2).end()), std::vector<float>{3.0f});
}

TEST(CheckedSize, BorrowingARectangleLargerThanTheAddressSpaceFails) {
  const float value = 1.0f;
  EXPECT_EQ(failure_message([&] {
              EmbeddingBatch::borrowing(&value, 4, std::size_t{1} << 62, std::make_unique<metrics::MemoryKeeper>());
            }),
            "a borrowed rectangle larger than the address space");
  EXPECT_EQ(failure_message([&] {
              EmbeddingBatch::borrowing(&value, 2, std::size_t{1} << 61, std::make_unique<metrics::MemoryKeeper>());
            }),
            "a borrowed rectangle larger than the address space");
  // No rows, or rows of nothing, borrow nothing.
  EXPECT_EQ(EmbeddingBatch::borrowing(&value, std::size_t{1} << 62, 0, std::make_unique<metrics::MemoryKeeper>())
                .value_count(),
            0u);
}
