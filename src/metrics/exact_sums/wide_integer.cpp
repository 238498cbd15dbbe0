#include "wide_integer.hpp"

#include <bit>
#include <cmath>
#include <limits>

#include "failure.hpp"

namespace metrics {

void WideInteger::resize(std::size_t size) {
  if (size > kCapacity) throw InternalFailure("exact arithmetic beyond its capacity");
  for (std::size_t i = size_; i < size; ++i) digits_[i] = 0;
  size_ = size;
}

void WideInteger::trim() noexcept {
  while (size_ > 0 && digits_[size_ - 1] == 0) --size_;
  if (size_ == 0) negative_ = false;
}

WideInteger WideInteger::from_u64(std::uint64_t value) {
  WideInteger result;
  result.resize(2);
  result.digits_[0] = static_cast<std::uint32_t>(value);
  result.digits_[1] = static_cast<std::uint32_t>(value >> 32);
  result.trim();
  return result;
}

WideInteger WideInteger::from_twos_complement(const std::int64_t* digits, std::size_t count) {
  WideInteger result;
  if (count == 0) return result;
  // Every digit holds 32 bits but the last, which holds the rest of the
  // number with its sign. A negative number's magnitude is its complement
  // plus one, formed digit by digit.
  const bool negative = digits[count - 1] < 0;
  result.resize(count + 1);
  std::uint64_t carry = negative ? 1 : 0;
  for (std::size_t i = 0; i + 1 < count; ++i) {
    std::uint64_t digit = static_cast<std::uint32_t>(digits[i]);
    if (negative) digit = ~digit & 0xffffffffu;
    digit += carry;
    result.digits_[i] = static_cast<std::uint32_t>(digit);
    carry = digit >> 32;
  }
  const auto top = static_cast<std::uint64_t>(digits[count - 1]);
  const std::uint64_t top_magnitude = (negative ? ~top : top) + carry;
  result.digits_[count - 1] = static_cast<std::uint32_t>(top_magnitude);
  result.digits_[count] = static_cast<std::uint32_t>(top_magnitude >> 32);
  result.negative_ = negative;
  result.trim();
  return result;
}

std::size_t WideInteger::bit_length() const noexcept {
  if (size_ == 0) return 0;
  return (size_ - 1) * 32 + static_cast<std::size_t>(std::bit_width(digits_[size_ - 1]));
}

int WideInteger::compare_magnitudes(const WideInteger& a, const WideInteger& b) noexcept {
  if (a.size_ != b.size_) return a.size_ < b.size_ ? -1 : 1;
  for (std::size_t i = a.size_; i-- > 0;) {
    if (a.digits_[i] != b.digits_[i]) return a.digits_[i] < b.digits_[i] ? -1 : 1;
  }
  return 0;
}

WideInteger WideInteger::add_magnitudes(const WideInteger& a, const WideInteger& b) {
  WideInteger sum;
  const std::size_t longest = a.size_ > b.size_ ? a.size_ : b.size_;
  sum.resize(longest + 1);
  std::uint64_t carry = 0;
  for (std::size_t i = 0; i < longest; ++i) {
    const std::uint64_t digit = std::uint64_t{a.digit(i)} + b.digit(i) + carry;
    sum.digits_[i] = static_cast<std::uint32_t>(digit);
    carry = digit >> 32;
  }
  sum.digits_[longest] = static_cast<std::uint32_t>(carry);
  sum.trim();
  return sum;
}

WideInteger WideInteger::subtract_magnitudes(const WideInteger& a, const WideInteger& b) {
  WideInteger difference;
  difference.resize(a.size_);
  std::uint64_t borrow = 0;
  for (std::size_t i = 0; i < a.size_; ++i) {
    const std::uint64_t subtrahend = std::uint64_t{b.digit(i)} + borrow;
    const std::uint64_t minuend = a.digits_[i];
    borrow = minuend < subtrahend ? 1 : 0;
    difference.digits_[i] = static_cast<std::uint32_t>(minuend + (borrow << 32) - subtrahend);
  }
  difference.trim();
  return difference;
}

WideInteger WideInteger::operator+(const WideInteger& other) const {
  WideInteger result;
  if (negative_ == other.negative_) {
    result = add_magnitudes(*this, other);
    result.negative_ = negative_;
  } else if (compare_magnitudes(*this, other) >= 0) {
    result = subtract_magnitudes(*this, other);
    result.negative_ = negative_;
  } else {
    result = subtract_magnitudes(other, *this);
    result.negative_ = other.negative_;
  }
  result.trim();
  return result;
}

WideInteger WideInteger::negated() const {
  WideInteger result = *this;
  if (!result.is_zero()) result.negative_ = !negative_;
  return result;
}

WideInteger WideInteger::operator-(const WideInteger& other) const { return *this + other.negated(); }

WideInteger WideInteger::operator*(const WideInteger& other) const {
  WideInteger result;
  if (is_zero() || other.is_zero()) return result;
  result.resize(size_ + other.size_);
  for (std::size_t i = 0; i < size_; ++i) {
    std::uint64_t carry = 0;
    for (std::size_t j = 0; j < other.size_; ++j) {
      // At most (2^32 - 1)^2 + 2 (2^32 - 1) = 2^64 - 1: never overflows.
      const std::uint64_t digit =
          std::uint64_t{digits_[i]} * other.digits_[j] + result.digits_[i + j] + carry;
      result.digits_[i + j] = static_cast<std::uint32_t>(digit);
      carry = digit >> 32;
    }
    result.digits_[i + other.size_] = static_cast<std::uint32_t>(carry);
  }
  result.negative_ = negative_ != other.negative_;
  result.trim();
  return result;
}

WideInteger WideInteger::shifted_left(std::size_t bits) const {
  WideInteger result;
  if (is_zero()) return result;
  const std::size_t whole = bits / 32;
  const unsigned part = static_cast<unsigned>(bits % 32);
  result.resize(size_ + whole + 1);
  for (std::size_t i = 0; i < size_; ++i) {
    const std::uint64_t shifted = std::uint64_t{digits_[i]} << part;
    result.digits_[i + whole] |= static_cast<std::uint32_t>(shifted);
    result.digits_[i + whole + 1] |= static_cast<std::uint32_t>(shifted >> 32);
  }
  result.negative_ = negative_;
  result.trim();
  return result;
}

double WideInteger::to_double(int exponent) const {
  const std::size_t bits = bit_length();
  if (bits == 0) return 0.0;
  // The top 64 bits of the magnitude, with whether any bit below them is set
  // folded into the lowest ("sticky"): a double keeps 53 bits, so rounding
  // that word rounds exactly as rounding the whole magnitude would.
  const std::size_t low = bits > 64 ? bits - 64 : 0;
  const std::size_t first = low / 32;
  const unsigned shift = static_cast<unsigned>(low % 32);
  const std::uint64_t low_word = std::uint64_t{digit(first)} | std::uint64_t{digit(first + 1)} << 32;
  std::uint64_t top = shift == 0 ? low_word : low_word >> shift | std::uint64_t{digit(first + 2)} << (64 - shift);
  bool sticky = shift != 0 && (digits_[first] & ((std::uint32_t{1} << shift) - 1)) != 0;
  for (std::size_t i = 0; i < first && !sticky; ++i) sticky = digits_[i] != 0;
  if (sticky) top |= 1;
  const double rounded = static_cast<double>(top);
  const long long scale = static_cast<long long>(low) + exponent;
  double value;
  if (scale > 2000) {
    value = HUGE_VAL;
  } else if (scale < -2000) {
    value = 0.0;
  } else {
    value = std::ldexp(rounded, static_cast<int>(scale));
  }
  return negative_ ? -value : value;
}

}  // namespace metrics
