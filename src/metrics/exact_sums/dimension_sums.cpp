#include "dimension_sums.hpp"

#include <cmath>
#include <cstring>
#include <utility>

#include "failure.hpp"
#include "parallel_parts.hpp"
#include "state_bytes.hpp"

namespace metrics {

namespace {

constexpr unsigned char kMagic[8] = {'v', 'x', 'd', 'i', 'm', 0, 0, 1};
constexpr std::size_t kHeaderBytes = 8 + 4 * 8;
constexpr std::size_t kPerDimensionBytes = 8 + 2 * ExactSum::kBytes;
// Values per thread below which the rows are summed on fewer threads.
constexpr std::size_t kValuesPerPart = std::size_t{1} << 18;
// Scales are chosen from the largest value among this many first rows.
constexpr std::size_t kScaleSampleRows = 64;

class SlowDimensionValues final : public SlowValueSink {
 public:
  SlowDimensionValues(ExactSum* plain, ExactSum* squares, std::uint64_t& non_finite)
      : plain_(plain), squares_(squares), non_finite_(non_finite) {}

  void take(std::size_t k, double value) override {
    if (!std::isfinite(value)) {
      ++non_finite_;
      return;
    }
    plain_[k].add(value);
    squares_[k].add(value * value);
  }

 private:
  ExactSum* plain_;
  ExactSum* squares_;
  std::uint64_t& non_finite_;
};

}  // namespace

DimensionSums::DimensionSums(std::size_t first_dimension, std::size_t dimensions, KernelPath path)
    : first_(first_dimension),
      width_(dimensions),
      adder_(fixed_point_lanes(path).rows),
      scale_(dimensions, 1.0),
      scale_exponent_(dimensions, 0),
      lane_plain_(dimensions, 0),
      lane_square_high_(dimensions, 0),
      lane_square_low_(dimensions, 0),
      reach_since_flush_(dimensions + 1, 0),
      counts_(dimensions, 0),
      plain_(dimensions),
      squares_(dimensions) {}

DimensionSums DimensionSums::of_rows(const EmbeddingBatch& rows, std::size_t first_dimension,
                                    std::size_t dimensions, KernelPath path, unsigned threads) {
  const std::size_t n = rows.rows();
  const std::size_t parts = parts_for(threads, rows.value_count(), kValuesPerPart, n);
  Buffer<DimensionSums> sums;
  sums.reserve(parts);
  for (std::size_t p = 0; p < parts; ++p) sums.emplace_back(first_dimension, dimensions, path);
  run_parts(parts, [&](std::size_t p) { sums[p].add_rows(rows, n * p / parts, n * (p + 1) / parts); });
  for (std::size_t p = 1; p < parts; ++p) sums[0].merge(sums[p]);
  return std::move(sums[0]);
}

void require_rows_within(const EmbeddingBatch& rows, std::size_t dimension) {
  for (std::size_t i = 0; i < rows.rows(); ++i) {
    if (rows.row(i).size() > dimension) fail_index_out_of_bounds(dimension, dimension);
  }
}

void DimensionSums::choose_scales(const EmbeddingBatch& batch, std::size_t begin, std::size_t end) {
  scales_chosen_ = true;
  Buffer<float> largest(width_, 0.0f);
  const std::size_t sample_end = end - begin > kScaleSampleRows ? begin + kScaleSampleRows : end;
  for (std::size_t i = begin; i < sample_end; ++i) {
    const std::span<const float> row = batch.row(i);
    for (std::size_t k = first_; k < row.size() && k < first_ + width_; ++k) {
      const float magnitude = std::fabs(row[k]);
      // NaN compares false and infinities are skipped: only finite values
      // say where a dimension's values lie.
      if (magnitude > largest[k - first_] && std::isfinite(magnitude)) largest[k - first_] = magnitude;
    }
  }
  for (std::size_t k = 0; k < width_; ++k) {
    if (largest[k] == 0.0f) continue;
    // largest = m * 2^e with m in [0.5, 1): scaled by 2^-e it lies in
    // [0.5, 1), leaving room up to 2 for the rows after the sample.
    int exponent = 0;
    (void)std::frexp(static_cast<double>(largest[k]), &exponent);
    scale_exponent_[k] = exponent;
    scale_[k] = std::ldexp(1.0, -exponent);
  }
}

void DimensionSums::add_rows(const EmbeddingBatch& batch, std::size_t begin, std::size_t end) {
  if (begin >= end) return;
  if (!scales_chosen_) choose_scales(batch, begin, end);
  SlowDimensionValues slow(plain_.data(), squares_.data(), non_finite_);
  const DimensionLanes lanes{lane_plain_.data(), lane_square_high_.data(), lane_square_low_.data(),
                             scale_.data()};
  for (std::size_t i = begin; i < end; ++i) {
    const std::span<const float> row = batch.row(i);
    const std::size_t reach = row.size() <= first_ ? 0
                              : row.size() - first_ < width_ ? row.size() - first_
                                                              : width_;
    if (reach > 0) adder_(lanes, row.data() + first_, reach, slow);
    ++reach_since_flush_[reach];
    ++rows_;
    if (++rows_since_flush_ >= kFlushSteps) settle();
  }
}

void DimensionSums::settle() {
  if (rows_since_flush_ == 0) return;
  // A dimension's lanes took one step for every row reaching past it.
  std::uint64_t steps = 0;
  for (std::size_t k = width_; k-- > 0;) {
    steps += reach_since_flush_[k + 1];
    if (steps == 0) continue;
    const int exponent = scale_exponent_[k];
    const std::int64_t plain = unbiased(lane_plain_[k], steps, kFixedBiasBits);
    const std::int64_t high = unbiased(lane_square_high_[k], steps, kFixedBiasBits);
    const std::int64_t low = unbiased(lane_square_low_[k], steps, kLowSquareBiasBits);
    // The lanes summed r * 2^-exponent and its square.
    plain_[k].add_scaled(plain, kFixedExponent + exponent);
    squares_[k].add_scaled(high, kFixedExponent + 2 * exponent);
    squares_[k].add_scaled(low, kLowSquareExponent + 2 * exponent);
    counts_[k] += steps;
    lane_plain_[k] = lane_square_high_[k] = lane_square_low_[k] = 0;
  }
  for (std::uint64_t& reach : reach_since_flush_) reach = 0;
  rows_since_flush_ = 0;
}

void DimensionSums::merge(const DimensionSums& other) {
  if (other.first_ != first_ || other.width_ != width_) {
    throw InternalFailure("merging per-dimension sums of different dimensions");
  }
  settle();
  DimensionSums addend = other;
  addend.settle();
  for (std::size_t k = 0; k < width_; ++k) {
    plain_[k].merge(addend.plain_[k]);
    squares_[k].merge(addend.squares_[k]);
    counts_[k] += addend.counts_[k];
  }
  rows_ += addend.rows_;
  non_finite_ += addend.non_finite_;
}

std::size_t DimensionSums::serialized_size() const noexcept {
  return kHeaderBytes + width_ * kPerDimensionBytes;
}

Buffer<unsigned char> DimensionSums::serialize() const {
  DimensionSums state = *this;
  state.settle();
  Buffer<unsigned char> out(serialized_size());
  std::memcpy(out.data(), kMagic, 8);
  put_u64(out.data() + 8, first_);
  put_u64(out.data() + 16, width_);
  put_u64(out.data() + 24, state.rows_);
  put_u64(out.data() + 32, state.non_finite_);
  unsigned char* at = out.data() + kHeaderBytes;
  for (std::size_t k = 0; k < width_; ++k, at += kPerDimensionBytes) {
    put_u64(at, state.counts_[k]);
    state.plain_[k].serialize(std::span<unsigned char, ExactSum::kBytes>(at + 8, ExactSum::kBytes));
    state.squares_[k].serialize(
        std::span<unsigned char, ExactSum::kBytes>(at + 8 + ExactSum::kBytes, ExactSum::kBytes));
  }
  return out;
}

std::optional<DimensionSums> DimensionSums::deserialize(std::span<const unsigned char> in) {
  if (in.size() < kHeaderBytes || std::memcmp(in.data(), kMagic, 8) != 0) return std::nullopt;
  const std::uint64_t first = get_u64(in.data() + 8);
  const std::uint64_t width = get_u64(in.data() + 16);
  // The width must account for exactly the bytes there are, checked without
  // forming a product that could wrap.
  if ((in.size() - kHeaderBytes) % kPerDimensionBytes != 0 ||
      (in.size() - kHeaderBytes) / kPerDimensionBytes != width) {
    return std::nullopt;
  }
  DimensionSums state(static_cast<std::size_t>(first), static_cast<std::size_t>(width));
  state.scales_chosen_ = true;
  state.rows_ = get_u64(in.data() + 24);
  state.non_finite_ = get_u64(in.data() + 32);
  const unsigned char* at = in.data() + kHeaderBytes;
  for (std::size_t k = 0; k < state.width_; ++k, at += kPerDimensionBytes) {
    state.counts_[k] = get_u64(at);
    const auto plain = ExactSum::deserialize(std::span<const unsigned char, ExactSum::kBytes>(at + 8, ExactSum::kBytes));
    const auto squares = ExactSum::deserialize(
        std::span<const unsigned char, ExactSum::kBytes>(at + 8 + ExactSum::kBytes, ExactSum::kBytes));
    if (!plain || !squares || state.counts_[k] > state.rows_) return std::nullopt;
    state.plain_[k] = *plain;
    state.squares_[k] = *squares;
  }
  return state;
}

}  // namespace metrics
