// Growable storage for the system's own buffers.
//
// std::vector with an allocator that reports failure the way the rest of the
// system expects: a size that cannot be represented is an InternalFailure
// ("capacity overflow"), memory that cannot be obtained is an
// AllocationFailure carrying the byte count, which the module layer turns into
// MemoryError instead of ending the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <vector>

#include "failure.hpp"

namespace metrics {

// The memory behind every Buffer (buffer.cpp): 64-byte aligned, and for
// large buffers aligned to 2 MiB and offered to the kernel's transparent
// huge pages where the system has them. Returns nullptr when no memory is
// to be had.
void* allocate_buffer_bytes(std::size_t bytes) noexcept;
void release_buffer_bytes(void* memory, std::size_t bytes) noexcept;

template <class T>
struct CheckedAllocator {
  using value_type = T;

  CheckedAllocator() noexcept = default;
  template <class U>
  CheckedAllocator(const CheckedAllocator<U>&) noexcept {}

  T* allocate(std::size_t count) {
    constexpr std::size_t kLimit =
        static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(T);
    if (count > kLimit) throw InternalFailure("capacity overflow");
    std::size_t bytes = count * sizeof(T);
    void* memory = allocate_buffer_bytes(bytes);
    if (memory == nullptr) throw AllocationFailure(bytes);
    return static_cast<T*>(memory);
  }

  void deallocate(T* pointer, std::size_t count) noexcept {
    release_buffer_bytes(pointer, count * sizeof(T));
  }

  // Larger than any real request so that the vector defers the range check
  // to allocate() above, which reports it in the system's own terms.
  std::size_t max_size() const noexcept { return std::numeric_limits<std::size_t>::max() / sizeof(T); }

  template <class U>
  bool operator==(const CheckedAllocator<U>&) const noexcept { return true; }
};

template <class T>
using Buffer = std::vector<T, CheckedAllocator<T>>;

}  // namespace metrics
