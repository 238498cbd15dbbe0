// A signed integer of up to kCapacity 32-bit digits, for the few exact
// products and differences that turn exact sums into measures (n * Q - S^2,
// say): the sums are long fixed-point numbers, and their products are
// longer still. Kept inline, with no allocation, because coverage forms one
// such number per dimension. Internal to the metrics module.
#pragma once

#include <cstddef>
#include <array>
#include <cstdint>

namespace metrics {

class WideInteger {
 public:
  // Enough for the product of two exact sums and a few counts; a result
  // that would need more fails with InternalFailure.
  static constexpr std::size_t kCapacity = 64;

  WideInteger() = default;
  static WideInteger from_u64(std::uint64_t value);
  // The number whose two's complement digits (32 bits each, least
  // significant first) are `digits`; the last digit carries the sign.
  static WideInteger from_twos_complement(const std::int64_t* digits, std::size_t count);

  bool is_zero() const noexcept { return size_ == 0; }
  bool negative() const noexcept { return negative_; }
  // The number of significant bits of the magnitude (0 for zero).
  std::size_t bit_length() const noexcept;

  WideInteger operator+(const WideInteger& other) const;
  WideInteger operator-(const WideInteger& other) const;
  WideInteger operator*(const WideInteger& other) const;
  WideInteger shifted_left(std::size_t bits) const;
  WideInteger negated() const;

  // The number times 2^exponent, correctly rounded to the nearest double
  // (ties to even), or infinity when it is too large for one. The result is
  // exact as a double only below 2^53; nothing is lost otherwise but the
  // rounding.
  double to_double(int exponent = 0) const;

 private:
  static WideInteger add_magnitudes(const WideInteger& a, const WideInteger& b);
  // |a| - |b| for |a| >= |b|.
  static WideInteger subtract_magnitudes(const WideInteger& a, const WideInteger& b);
  static int compare_magnitudes(const WideInteger& a, const WideInteger& b) noexcept;
  void resize(std::size_t size);
  std::uint32_t digit(std::size_t i) const noexcept { return i < size_ ? digits_[i] : 0; }
  void trim() noexcept;

  // The magnitude, least significant digit first: digits_[0, size_) with no
  // leading zero digit; size_ 0 for zero, which is never negative.
  std::array<std::uint32_t, kCapacity> digits_{};
  std::size_t size_ = 0;
  bool negative_ = false;
};

}  // namespace metrics
