#include "exact_sum.hpp"

#include <bit>

#include "failure.hpp"

namespace metrics {

namespace {

constexpr std::uint64_t kLow32 = 0xffffffffu;
// Additions between two normalisations; see ExactSum::pending_.
constexpr std::uint32_t kAdditionsBeforeCarry = std::uint32_t{1} << 30;
// Magnitudes of added values stay below 2^kHighestExponent.
constexpr int kHighestExponent = 300;

[[noreturn]] void fail_out_of_range() { throw InternalFailure("value outside the range of an exact sum"); }

}  // namespace

void ExactSum::add(double value) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  const unsigned biased = static_cast<unsigned>(bits >> 52) & 0x7ffu;
  if (biased == 0x7ffu) fail_out_of_range();
  std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
  if (biased != 0) mantissa |= std::uint64_t{1} << 52;
  if (mantissa == 0) return;  // either zero
  int exponent = biased == 0 ? -1074 : static_cast<int>(biased) - 1075;
  // Trailing zeros say nothing; dropping them lets every value the range
  // admits start at or above bit 0.
  const int trailing = std::countr_zero(mantissa);
  mantissa >>= static_cast<unsigned>(trailing);
  exponent += trailing;
  if (exponent < kLowestExponent || exponent + static_cast<int>(std::bit_width(mantissa)) > kHighestExponent) {
    fail_out_of_range();
  }
  add_bits(mantissa, static_cast<std::size_t>(exponent - kLowestExponent), (bits >> 63) != 0);
  count_additions(1);
}

void ExactSum::add_scaled(std::int64_t value, int exponent) {
  if (value == 0) return;
  std::uint64_t magnitude =
      value < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  // A fixed-point sum of fine resolution may hold coarse values only.
  const int trailing = std::countr_zero(magnitude);
  magnitude >>= static_cast<unsigned>(trailing);
  exponent += trailing;
  if (exponent < kLowestExponent || exponent + static_cast<int>(std::bit_width(magnitude)) > kHighestExponent) {
    fail_out_of_range();
  }
  add_bits(magnitude, static_cast<std::size_t>(exponent - kLowestExponent), value < 0);
  count_additions(1);
}

void ExactSum::add_bits(std::uint64_t magnitude, std::size_t position, bool negative) {
  // magnitude * 2^shift spread over three 32-bit digits, each part below
  // 2^32, so that each word moves by less than 2^32.
  const std::size_t digit = position / 32;
  const unsigned shift = static_cast<unsigned>(position % 32);
  std::uint64_t parts[3];
  parts[0] = (magnitude << shift) & kLow32;
  if (shift == 0) {
    parts[1] = magnitude >> 32;
    parts[2] = 0;
  } else {
    parts[1] = (magnitude >> (32 - shift)) & kLow32;
    parts[2] = magnitude >> (64 - shift);
  }
  for (std::size_t k = 0; k < 3; ++k) {
    const auto part = static_cast<std::int64_t>(parts[k]);
    digits_[digit + k] += negative ? -part : part;
  }
}

void ExactSum::count_additions(unsigned additions) {
  pending_ += additions;
  if (pending_ >= kAdditionsBeforeCarry) normalize();
}

void ExactSum::normalize() {
  for (std::size_t k = 0; k + 1 < kDigits; ++k) {
    // Floor division by 2^32: the digit keeps [0, 2^32), the rest moves up.
    const std::int64_t carry = digits_[k] >> 32;
    digits_[k] -= carry * (std::int64_t{1} << 32);
    digits_[k + 1] += carry;
  }
  pending_ = 0;
}

ExactSum ExactSum::normalized() const {
  ExactSum copy = *this;
  copy.normalize();
  return copy;
}

void ExactSum::merge(const ExactSum& other) {
  normalize();
  const ExactSum addend = other.normalized();
  for (std::size_t k = 0; k < kDigits; ++k) digits_[k] += addend.digits_[k];
  count_additions(1);
}

WideInteger ExactSum::value() const {
  const ExactSum canonical = normalized();
  return WideInteger::from_twos_complement(canonical.digits_.data(), kDigits);
}

double ExactSum::to_double() const { return value().to_double(kLowestExponent); }

void ExactSum::serialize(std::span<unsigned char, kBytes> out) const {
  const ExactSum canonical = normalized();
  for (std::size_t k = 0; k < kDigits; ++k) {
    // Every digit but the last is in [0, 2^32); the last is small and
    // signed, and its low 32 bits are its two's complement.
    const auto word = static_cast<std::uint32_t>(static_cast<std::uint64_t>(canonical.digits_[k]));
    for (std::size_t b = 0; b < 4; ++b) out[4 * k + b] = static_cast<unsigned char>(word >> (8 * b));
  }
}

std::optional<ExactSum> ExactSum::deserialize(std::span<const unsigned char, kBytes> in) {
  ExactSum sum;
  for (std::size_t k = 0; k < kDigits; ++k) {
    std::uint32_t word = 0;
    for (std::size_t b = 0; b < 4; ++b) word |= std::uint32_t{in[4 * k + b]} << (8 * b);
    sum.digits_[k] = k + 1 < kDigits ? std::int64_t{word} : std::int64_t{static_cast<std::int32_t>(word)};
  }
  // The last digit of a real sum holds only its sign: every sum of fewer
  // than 2^64 values below 2^300 stays far below it.
  if (sum.digits_[kDigits - 1] != 0 && sum.digits_[kDigits - 1] != -1) return std::nullopt;
  return sum;
}

bool ExactSum::operator==(const ExactSum& other) const {
  return normalized().digits_ == other.normalized().digits_;
}

}  // namespace metrics
