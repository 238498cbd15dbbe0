// An exact sum of floating-point values whose state does not depend on the
// order in which they were added.
//
// The state is one long fixed-point integer: bit 0 weighs 2^kLowestExponent,
// and it reaches far enough above the largest value a float32 product can
// have (2^256) to hold 2^64 of them. It is kept as 32-bit digits, each in a
// 64-bit word, so that an addition only adds to a few words and carries are
// propagated once every 2^30 additions instead of each time (the "small
// superaccumulator" way). Integer addition is associative, so any order of
// additions and any split into partial sums merged later gives the same
// number, and normalize() gives it one canonical form, whose bytes are the
// state's serialised form. Internal to the metrics module.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "wide_integer.hpp"

namespace metrics {

class ExactSum {
 public:
  // The weight of bit 0: low enough for the square of the smallest float32
  // subnormal (2^-298).
  static constexpr int kLowestExponent = -320;
  static constexpr std::size_t kDigits = 22;
  // Bytes of the serialised form: one little-endian 32-bit word per digit,
  // the number in two's complement.
  static constexpr std::size_t kBytes = kDigits * 4;

  // Adds `value` exactly. It must be finite and, unless zero, lie within
  // [2^kLowestExponent, 2^300) in magnitude, as every float32 and every
  // product of two float32 values does; others fail with InternalFailure.
  void add(double value);

  // Adds value * 2^exponent exactly, for a fixed-point integer whose lowest
  // bit weighs 2^exponent (exponent >= kLowestExponent, and the value's top
  // bit below 2^300).
  void add_scaled(std::int64_t value, int exponent);

  void merge(const ExactSum& other);

  // The number, exactly: value() * 2^kLowestExponent is the sum.
  WideInteger value() const;

  // value() correctly rounded to a double, scaled by 2^kLowestExponent.
  double to_double() const;

  // The canonical bytes of the sum, the same for every order of additions.
  void serialize(std::span<unsigned char, kBytes> out) const;
  // The sum whose serialised form is `in`, or nothing for bytes that no sum
  // of real values serialises to.
  static std::optional<ExactSum> deserialize(std::span<const unsigned char, kBytes> in);

  bool operator==(const ExactSum& other) const;

 private:
  // Adds magnitude * 2^position (position counted from bit 0) with the sign
  // given, digit by digit.
  void add_bits(std::uint64_t magnitude, std::size_t position, bool negative);
  void count_additions(unsigned additions);
  // Carries every digit's excess into the next: afterwards every digit but
  // the last lies in [0, 2^32), the last carries the sign.
  void normalize();
  ExactSum normalized() const;

  std::array<std::int64_t, kDigits> digits_{};
  // Additions since the last normalize(); each moves a digit by less than
  // 2^32, so 2^30 of them keep every word far from overflow.
  std::uint32_t pending_ = 0;
};

}  // namespace metrics
