#include "packed_batch.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <span>
#include <thread>

#include "float_environment.hpp"
#include "pairs.hpp"

namespace metrics {

namespace {

std::size_t longest_row(const EmbeddingBatch& batch) noexcept {
  std::size_t longest = 0;
  for (std::size_t i = 0; i < batch.rows(); ++i) {
    if (batch.row(i).size() > longest) longest = batch.row(i).size();
  }
  return longest;
}

std::size_t round_up(std::size_t count, std::size_t multiple) noexcept {
  return (count + multiple - 1) / multiple * multiple;
}

// Copies the rows of one block into its transposed slots, zero beyond each
// row's end and for rows past the batch's end. Works through squares of
// 16 x 16 elements so that both the 16 source rows and the destination stay
// in the level-1 cache.
void transpose_block(const EmbeddingBatch& batch, std::size_t first_row, std::size_t depth,
                     float* out) {
  const float* source[kLanes];
  std::size_t length[kLanes];
  for (std::size_t l = 0; l < kLanes; ++l) {
    const std::size_t i = first_row + l;
    std::span<const float> row = i < batch.rows() ? batch.row(i) : std::span<const float>{};
    source[l] = row.data();
    length[l] = row.size();
  }
  for (std::size_t k0 = 0; k0 < depth; k0 += kLanes) {
    const std::size_t k1 = k0 + kLanes < depth ? k0 + kLanes : depth;
    for (std::size_t l = 0; l < kLanes; ++l) {
      const std::size_t copied = length[l] < k0 ? k0 : length[l] < k1 ? length[l] : k1;
      for (std::size_t k = k0; k < copied; ++k) out[k * kLanes + l] = source[l][k];
      for (std::size_t k = copied; k < k1; ++k) out[k * kLanes + l] = 0.0f;
    }
  }
}

// The row in lane l of a block, whose sum of squares is `squares`, scaled
// by a power of two first when that sum overflows or underflows, as
// normalize_embeddings does; `squares` becomes the scaled row's sum. The
// padded zeros change neither the largest magnitude nor the sum.
void scale_extreme_lane(float* block, std::size_t depth, std::size_t l, float& squares) noexcept {
  if ((squares >= FLT_MIN && squares <= FLT_MAX) || std::isnan(squares)) return;
  float largest = 0.0f;
  for (std::size_t k = 0; k < depth; ++k) {
    const float value = block[k * kLanes + l];
    // A row holding an infinity keeps the float32 treatment.
    if (!std::isfinite(value)) return;
    largest = std::fmax(largest, std::fabs(value));
  }
  if (largest == 0.0f) return;
  int exponent = 0;
  (void)std::frexp(largest, &exponent);
  float sum = 0.0f;
  for (std::size_t k = 0; k < depth; ++k) {
    float& value = block[k * kLanes + l];
    value = std::ldexp(value, -exponent);
    const float square = value * value;
    sum = sum + square;
  }
  squares = sum;
}

// Normalises the 16 transposed rows of one block in place. Each lane is one
// row: its sum of squares runs over the dimension in index order, exactly as
// for a single row, and the padded zeros add +0, which leaves a running sum
// that started at +0 unchanged. The lanes are independent, so the loops
// vectorise across rows without reordering any row's sum.
void normalize_block(float* block, std::size_t depth, bool scale_extreme_rows) noexcept {
  float squares[kLanes] = {};
  for (std::size_t k = 0; k < depth; ++k) {
    const float* x = block + k * kLanes;
    for (std::size_t l = 0; l < kLanes; ++l) {
      const float square = x[l] * x[l];
      squares[l] = squares[l] + square;
    }
  }
  if (scale_extreme_rows) {
    for (std::size_t l = 0; l < kLanes; ++l) scale_extreme_lane(block, depth, l, squares[l]);
  }
  // A row whose sum is not > 0 (zero, underflowed or NaN) is kept as it is:
  // it is divided by 1, which is exact for every value (a signalling NaN
  // comes out quiet, and any NaN makes every similarity it meets NaN
  // either way). Dividing every lane keeps the loop free of branches.
  float norm[kLanes];
  for (std::size_t l = 0; l < kLanes; ++l) {
    norm[l] = squares[l] > 0.0f ? std::sqrt(squares[l]) : 1.0f;
  }
  for (std::size_t k = 0; k < depth; ++k) {
    float* x = block + k * kLanes;
    for (std::size_t l = 0; l < kLanes; ++l) x[l] = x[l] / norm[l];  // a true division, never 1/q
  }
}

}  // namespace

namespace {

// The padded layout may take at most twice the batch's own values plus this
// many floats (1 MiB): enough for the zero rows that round a small batch up
// to the column tile, never a multiple of a few long rows.
constexpr std::size_t kPaddingAllowance = (std::size_t{1} << 20) / sizeof(float);

// The tile kernel does this many times the multiply-adds of the plain pair
// loop at most (plus a fixed allowance): it runs several times faster per
// multiply-add, so within that it is never the slower of the two.
constexpr double kPaddedWorkFactor = 4.0;
constexpr double kPaddedWorkAllowance = double(std::size_t{1} << 20);

// Multiply-adds of the plain pair loop, which stops each pair at the shorter
// row: with the lengths in ascending order, the k-th shortest row is the
// shorter one in its pairs with the n - 1 - k rows after it.
double plain_pair_work(const EmbeddingBatch& batch) {
  const std::size_t n = batch.rows();
  Buffer<std::size_t> lengths(n);
  for (std::size_t i = 0; i < n; ++i) lengths[i] = batch.row(i).size();
  std::sort(lengths.begin(), lengths.end());
  double work = 0.0;
  for (std::size_t k = 0; k < n; ++k) work += double(lengths[k]) * double(n - 1 - k);
  return work;
}

}  // namespace

bool PackedBatch::fits(const EmbeddingBatch& batch) {
  const std::size_t depth = longest_row(batch);
  const std::size_t padded_rows = round_up(batch.rows(), kRowMultiple);
  std::size_t padded = 0;
  if (__builtin_mul_overflow(padded_rows, depth, &padded)) return false;
  // Memory: a rectangular batch gains only its padding rows; a ragged one
  // at most its own size again.
  if (padded > kPaddingAllowance && (padded - kPaddingAllowance) / 2 > batch.value_count()) {
    return false;
  }
  // Work: the tile kernel runs over every padded pair at full depth.
  bool rectangular = true;
  for (std::size_t i = 0; i < batch.rows() && rectangular; ++i) {
    rectangular = batch.row(i).size() == depth;
  }
  const double padded_work = double(pair_count(padded_rows)) * double(depth);
  const double plain_work = rectangular ? double(pair_count(batch.rows())) * double(depth)
                                        : plain_pair_work(batch);
  return padded_work <= kPaddedWorkFactor * plain_work + kPaddedWorkAllowance;
}

void PackedBatch::normalize_blocks(const EmbeddingBatch& batch, std::size_t begin,
                                   std::size_t end) noexcept {
  for (std::size_t b = begin; b < end; ++b) {
    float* block = values_.data() + b * block_stride();
    transpose_block(batch, b * kLanes, depth_, block);
    normalize_block(block, depth_, scale_extreme_rows_);
  }
}

namespace {

// Below this many packed values the blocks are normalised on the calling
// thread alone: starting a thread costs tens of microseconds, about what
// normalising this many values takes.
constexpr std::size_t kThreadedPackMinimum = std::size_t{1} << 18;

}  // namespace

PackedBatch PackedBatch::normalized(const EmbeddingBatch& batch, unsigned threads,
                                    bool scale_extreme_rows) {
  PackedBatch packed;
  packed.scale_extreme_rows_ = scale_extreme_rows;
  packed.rows_ = batch.rows();
  packed.depth_ = longest_row(batch);
  packed.padded_rows_ = round_up(packed.rows_, kRowMultiple);
  // The rows are read once, in order, and not again: the keeper of borrowed
  // memory may drop what it holds of them before the packed copy takes its
  // place, and each stretch once it is packed.
  batch.reading_rows_in_order();
  packed.values_.resize(packed.padded_rows_ * packed.depth_);

  const std::size_t blocks = packed.padded_rows_ / kLanes;
  // Each part at least kThreadedPackMinimum values, and at least one block.
  std::size_t parts = threads;
  const std::size_t most_parts = packed.values_.size() / kThreadedPackMinimum;
  if (parts > most_parts) parts = most_parts;
  if (parts > blocks) parts = blocks;
  if (parts <= 1) {
    // Block by block, telling the batch how far its rows have been read.
    for (std::size_t b = 0; b < blocks; ++b) {
      packed.normalize_blocks(batch, b, b + 1);
      batch.rows_read(std::min((b + 1) * kLanes, packed.rows_));
    }
  } else {
    // Contiguous runs of blocks, the first on the calling thread. The workers
    // only write their own blocks of storage allocated above, so nothing in
    // them can fail; a run whose thread cannot be started is the caller's.
    Buffer<std::thread> workers;
    Buffer<std::size_t> refused;
    workers.reserve(parts - 1);
    refused.reserve(parts - 1);
    for (std::size_t part = 1; part < parts; ++part) {
      const std::size_t begin = blocks * part / parts, end = blocks * (part + 1) / parts;
      try {
        workers.emplace_back(
            [&packed, &batch, begin, end] {
              const DefaultFloatEnvironment float_environment;
              packed.normalize_blocks(batch, begin, end);
            });
      } catch (...) {
        // No thread to be had (std::system_error, or no memory for its
        // state): this run is the caller's, too.
        refused.push_back(part);
      }
    }
    packed.normalize_blocks(batch, 0, blocks / parts);
    for (std::size_t part : refused) {
      packed.normalize_blocks(batch, blocks * part / parts, blocks * (part + 1) / parts);
    }
    for (std::thread& worker : workers) worker.join();
    batch.rows_read(packed.rows_);
  }

  bool ragged = false;
  for (std::size_t i = 0; i < packed.rows_; ++i) ragged = ragged || batch.row(i).size() != packed.depth_;
  if (!ragged) return packed;

  // Record, per row, how far its non-finite elements reach. Copied NaN rows
  // may also hold infinities, so test the normalised values, not the sums.
  packed.lengths_.resize(packed.rows_);
  packed.non_finite_ends_.resize(packed.rows_);
  for (std::size_t i = 0; i < packed.rows_; ++i) {
    const std::size_t length = batch.row(i).size();
    std::size_t end = 0;
    for (std::size_t k = 0; k < length; ++k) {
      if (!std::isfinite(packed.value(i, k))) end = k + 1;
    }
    packed.lengths_[i] = length;
    packed.non_finite_ends_[i] = end;
    packed.padding_may_poison_ = packed.padding_may_poison_ || end != 0;
  }
  return packed;
}

}  // namespace metrics
