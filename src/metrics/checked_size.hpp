// Arithmetic on sizes that come from outside the system: a producer's
// shape, strides, offsets and lengths. Such numbers may be anything, so every
// size derived from them is computed exactly or not at all: a result that
// does not fit its type is an empty optional, never a wrapped value (nor,
// for signed types, undefined behaviour).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>

#include "failure.hpp"

namespace metrics {

// a * b and a + b computed exactly from operands of any integer types, as a
// `Result` when they fit in one.
template <class Result, class A, class B>
constexpr std::optional<Result> checked_product(A a, B b) noexcept {
  static_assert(std::is_integral_v<Result> && std::is_integral_v<A> && std::is_integral_v<B>);
  Result result{};
  if (__builtin_mul_overflow(a, b, &result)) return std::nullopt;
  return result;
}

template <class Result, class A, class B>
constexpr std::optional<Result> checked_sum(A a, B b) noexcept {
  static_assert(std::is_integral_v<Result> && std::is_integral_v<A> && std::is_integral_v<B>);
  Result result{};
  if (__builtin_add_overflow(a, b, &result)) return std::nullopt;
  return result;
}

template <class Result, class A, class B>
constexpr std::optional<Result> checked_difference(A a, B b) noexcept {
  static_assert(std::is_integral_v<Result> && std::is_integral_v<A> && std::is_integral_v<B>);
  Result result{};
  if (__builtin_sub_overflow(a, b, &result)) return std::nullopt;
  return result;
}

// Makes sure that `count` objects of type T can be asked for as one buffer:
// no object may span more than PTRDIFF_MAX bytes. A count beyond that is a
// real request that no memory can satisfy, an AllocationFailure like any
// other (MemoryError at the module boundary), its byte count saturated where
// it has no representation.
template <class T>
void require_storage(std::size_t count) {
  constexpr std::size_t kLimit =
      static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(T);
  if (count > kLimit)
    throw AllocationFailure(
        checked_product<std::size_t>(count, sizeof(T)).value_or(std::numeric_limits<std::size_t>::max()));
}

// The same for `first + added` objects, where the sum itself may not fit.
template <class T>
std::size_t require_storage(std::size_t first, std::size_t added) {
  const std::optional<std::size_t> total = checked_sum<std::size_t>(first, added);
  if (!total) throw AllocationFailure(std::numeric_limits<std::size_t>::max());
  require_storage<T>(*total);
  return *total;
}

}  // namespace metrics
