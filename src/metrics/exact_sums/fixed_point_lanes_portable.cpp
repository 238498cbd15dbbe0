// The fixed-point lanes in plain C++, for any processor: the same steps as
// the vector paths, one lane at a time.
#include <bit>
#include <cmath>

#include "fixed_point_lanes.hpp"

namespace metrics {

namespace {

std::uint64_t bits_of(double value) noexcept { return std::bit_cast<std::uint64_t>(value); }

struct SquareParts {
  std::uint64_t high;
  std::uint64_t low;
};

// x^2, exact in a double, split at 2^-40 into biased high and low patterns.
SquareParts square_parts(double x) noexcept {
  const double square = x * x;
  const double biased_high = square + kFixedBias;
  const double high = biased_high - kFixedBias;
  const double low = square - high;
  return {bits_of(biased_high), bits_of(low + kLowSquareBias)};
}

}  // namespace

void add_similarities_portable(SimilarityLanes& lanes, const float* values, std::size_t count,
                               SlowValueSink& slow) {
  for (std::size_t first = 0; first < count; first += kFixedLanes) {
    for (std::size_t t = 0; t < kFixedLanes; ++t) {
      double x = first + t < count ? static_cast<double>(values[first + t]) : 0.0;
      if (!fits_fixed_lanes(x)) {
        slow.take(first + t, x);
        x = 0.0;
      }
      lanes.plain[t] += bits_of(x + kFixedBias);
      lanes.absolute[t] += bits_of(std::fabs(x) + kFixedBias);
      const SquareParts square = square_parts(x);
      lanes.square_high[t] += square.high;
      lanes.square_low[t] += square.low;
    }
    ++lanes.steps;
  }
}

void add_row_portable(const DimensionLanes& lanes, const float* row, std::size_t count,
                      SlowValueSink& slow) {
  for (std::size_t k = 0; k < count; ++k) {
    double x = static_cast<double>(row[k]) * lanes.scale[k];
    if (!fits_fixed_lanes(x)) {
      slow.take(k, static_cast<double>(row[k]));
      x = 0.0;
    }
    lanes.plain[k] += bits_of(x + kFixedBias);
    const SquareParts square = square_parts(x);
    lanes.square_high[k] += square.high;
    lanes.square_low[k] += square.low;
  }
}

}  // namespace metrics
