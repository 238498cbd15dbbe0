#include "buffer.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace metrics {

namespace {

// Storage is 64-byte aligned so that vector loads never straddle a line at
// the start of a buffer.
constexpr std::size_t kLineAlignment = 64;

// Buffers of this size and more (the packed copy of a batch, the similarity
// list, the panels of a large batch) are aligned to a huge page and marked
// for transparent huge pages. A fresh buffer is then faulted in one 2 MiB
// page at a time instead of one 4 KiB page at a time: in a virtual machine
// a small-page fault costs 1-2 us, and the 6 MB packed copy of a 2000 x 768
// batch spent about 2.5 ms of a 15 ms call being faulted in.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeBufferMinimum = 2 * kHugePage;

std::size_t alignment_for(std::size_t bytes) noexcept {
  return bytes >= kHugeBufferMinimum ? kHugePage : kLineAlignment;
}

// Advice only: where the system has no transparent huge pages, or refuses,
// the buffer simply keeps small pages.
void offer_huge_pages(void* memory, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // Whole huge pages inside the buffer only, so that nothing outside it is
  // ever faulted in on its behalf.
  const std::size_t length = bytes / kHugePage * kHugePage;
  madvise(memory, length, MADV_HUGEPAGE);
#else
  (void)memory;
  (void)bytes;
#endif
}

}  // namespace

void* allocate_buffer_bytes(std::size_t bytes) noexcept {
  const std::size_t alignment = alignment_for(bytes);
  void* memory = ::operator new(bytes, std::align_val_t{alignment}, std::nothrow);
  if (memory != nullptr && alignment == kHugePage) offer_huge_pages(memory, bytes);
  return memory;
}

void release_buffer_bytes(void* memory, std::size_t bytes) noexcept {
  ::operator delete(memory, std::align_val_t{alignment_for(bytes)});
}

}  // namespace metrics
