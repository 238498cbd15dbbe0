// Keeps a file that shrinks under one of the module's own shared mappings
// from ending the process.
//
// The kernels read a mapped .npy in place, as plain memory, on the calling
// thread and on worker threads alike. A page of a shared mapping that lies
// beyond the file's end once another program truncates or rewrites the
// file raises SIGBUS when read, and its default action ends the process.
// The ways to avoid it without a handler all fall short here: checking the
// file's size before a read leaves a window before the read itself; a
// private copy of the rows (read with pread) is resident in full while the
// packing step allocates its own full-size copy, twice the file where the
// mapping needs about once (its clean pages are dropped as they are
// packed); and reading the file in stretches into the packing step would
// put file reading inside the kernels.
//
// So the guard lets the fault happen and makes it harmless: a SIGBUS whose
// address lies inside a covered mapping is answered by mapping zero pages
// over the rest of that mapping, from the faulting page on, and recording
// the fault; the interrupted read then completes (with zeros), whichever
// thread made it, and no stack is unwound. The caller learns from
// `faulted()` that the rows it read are not the file's and reports the
// file as changed. Any other SIGBUS goes to the action that was in place
// before the guard (by default, the end of the process, as without it).
#pragma once

#include <cstddef>
#include <optional>

namespace vextral::native {

class TruncationGuard {
 public:
  // Covers [begin, begin + length) (a shared file mapping, page-aligned)
  // until the guard is destroyed, installing the handler where it is not
  // installed; nothing when every slot is taken or the handler cannot be
  // installed (the caller then reads the file another way).
  static std::optional<TruncationGuard> cover(void* begin, std::size_t length) noexcept;

  TruncationGuard(TruncationGuard&& other) noexcept;
  TruncationGuard& operator=(TruncationGuard&& other) noexcept;
  ~TruncationGuard() { release(); }

  // Whether a read of the covered memory found its page gone (the memory
  // from that page on now reads as zeros).
  bool faulted() const noexcept;

  // Installs the handler again if another one has replaced it since (one
  // installed later chains to the guard's only if it means to); true when
  // it is in place. Called before each reading of covered memory.
  static bool ensure_installed() noexcept;

 private:
  explicit TruncationGuard(std::size_t slot) noexcept : slot_(slot) {}
  void release() noexcept;

  static constexpr std::size_t kNoSlot = ~std::size_t{0};
  std::size_t slot_;
};

}  // namespace vextral::native
