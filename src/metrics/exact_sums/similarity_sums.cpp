#include "similarity_sums.hpp"

#include <cmath>
#include <cstring>

#include "failure.hpp"
#include "state_bytes.hpp"

namespace metrics {

namespace {

// The first bytes of a serialised state: a format tag and version.
constexpr unsigned char kMagic[8] = {'v', 'x', 's', 'i', 'm', 0, 0, 1};

class SlowSimilarities final : public SlowValueSink {
 public:
  SlowSimilarities(ExactSum& plain, ExactSum& absolute, ExactSum& squares, std::uint64_t& non_finite)
      : plain_(plain), absolute_(absolute), squares_(squares), non_finite_(non_finite) {}

  void take(std::size_t, double value) override {
    if (!std::isfinite(value)) {
      ++non_finite_;
      return;
    }
    plain_.add(value);
    absolute_.add(std::fabs(value));
    // A float32 value squared is exact in a double.
    squares_.add(value * value);
  }

 private:
  ExactSum& plain_;
  ExactSum& absolute_;
  ExactSum& squares_;
  std::uint64_t& non_finite_;
};

}  // namespace

SimilaritySums::SimilaritySums(KernelPath path) : adder_(fixed_point_lanes(path).similarities) {}

void SimilaritySums::add(const float* values, std::size_t count) {
  SlowSimilarities slow(plain_, absolute_, squares_, non_finite_);
  count_ += count;
  while (count > 0) {
    const std::uint64_t room = (kFlushSteps - lanes_.steps) * kFixedLanes;
    const std::size_t taken = count < room ? count : static_cast<std::size_t>(room);
    adder_(lanes_, values, taken, slow);
    values += taken;
    count -= taken;
    if (lanes_.steps >= kFlushSteps) flush();
  }
}

void SimilaritySums::flush() {
  const std::uint64_t steps = lanes_.steps;
  if (steps == 0) return;
  for (std::size_t t = 0; t < kFixedLanes; ++t) {
    plain_.add_scaled(unbiased(lanes_.plain[t], steps, kFixedBiasBits), kFixedExponent);
    absolute_.add_scaled(unbiased(lanes_.absolute[t], steps, kFixedBiasBits), kFixedExponent);
    squares_.add_scaled(unbiased(lanes_.square_high[t], steps, kFixedBiasBits), kFixedExponent);
    squares_.add_scaled(unbiased(lanes_.square_low[t], steps, kLowSquareBiasBits), kLowSquareExponent);
  }
  lanes_ = SimilarityLanes{};
}

SimilaritySums SimilaritySums::settled() const {
  SimilaritySums copy = *this;
  copy.flush();
  return copy;
}

void SimilaritySums::merge(const SimilaritySums& other) {
  const SimilaritySums addend = other.settled();
  plain_.merge(addend.plain_);
  absolute_.merge(addend.absolute_);
  squares_.merge(addend.squares_);
  count_ += addend.count_;
  non_finite_ += addend.non_finite_;
}

ExactSum SimilaritySums::absolute() const { return settled().absolute_; }
ExactSum SimilaritySums::plain() const { return settled().plain_; }
ExactSum SimilaritySums::squares() const { return settled().squares_; }

void SimilaritySums::serialize(std::span<unsigned char, kBytes> out) const {
  const SimilaritySums state = settled();
  std::memcpy(out.data(), kMagic, 8);
  put_u64(out.data() + 8, state.count_);
  put_u64(out.data() + 16, state.non_finite_);
  state.absolute_.serialize(out.subspan<24, ExactSum::kBytes>());
  state.plain_.serialize(out.subspan<24 + ExactSum::kBytes, ExactSum::kBytes>());
  state.squares_.serialize(out.subspan<24 + 2 * ExactSum::kBytes, ExactSum::kBytes>());
}

std::optional<SimilaritySums> SimilaritySums::deserialize(std::span<const unsigned char> in) {
  if (in.size() != kBytes || std::memcmp(in.data(), kMagic, 8) != 0) return std::nullopt;
  SimilaritySums state;
  state.count_ = get_u64(in.data() + 8);
  state.non_finite_ = get_u64(in.data() + 16);
  if (state.non_finite_ > state.count_) return std::nullopt;
  const auto absolute = ExactSum::deserialize(in.subspan(24).first<ExactSum::kBytes>());
  const auto plain = ExactSum::deserialize(in.subspan(24 + ExactSum::kBytes).first<ExactSum::kBytes>());
  const auto squares = ExactSum::deserialize(in.subspan(24 + 2 * ExactSum::kBytes).first<ExactSum::kBytes>());
  if (!absolute || !plain || !squares) return std::nullopt;
  state.absolute_ = *absolute;
  state.plain_ = *plain;
  state.squares_ = *squares;
  return state;
}

bool SimilaritySums::operator==(const SimilaritySums& other) const {
  const SimilaritySums a = settled();
  const SimilaritySums b = other.settled();
  return a.count_ == b.count_ && a.non_finite_ == b.non_finite_ && a.plain_ == b.plain_ &&
         a.absolute_ == b.absolute_ && a.squares_ == b.squares_;
}

}  // namespace metrics
