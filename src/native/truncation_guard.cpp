#include "truncation_guard.hpp"

#if defined(__unix__) || defined(__APPLE__)

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>

#include <sys/mman.h>
#include <unistd.h>

namespace vextral::native {

namespace {

// The handler reads the covered ranges without a lock, so each lives in a
// fixed slot of atomics. A process rarely holds more than two mappings
// (drift reads two files); beyond this many the files are read another way.
constexpr std::size_t kSlots = 64;

struct Slot {
  std::atomic<bool> taken{false};
  // [begin, end) of a covered range; begin 0 while the slot is being filled
  // or emptied, so that the handler never matches a half-written range.
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::uintptr_t> end{0};
  std::atomic<bool> faulted{false};
};

static_assert(std::atomic<std::uintptr_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the signal handler needs lock-free atomics");

Slot slots[kSlots];
std::uintptr_t page_size = 4096;
// The action in place before the guard's, for every SIGBUS that is not a
// covered page. Written only while installing (under the interpreter's
// lock); a foreign SIGBUS that arrives at that very moment is the one case
// this does not order.
struct sigaction previous_action;

// Zero pages over [page, end): the faulting read then completes instead of
// faulting again. mmap is a plain system call here, safe in a handler on
// the systems this runs on though POSIX does not list it.
bool replace_with_zeros(std::uintptr_t page, std::uintptr_t end) {
  void* zeros = mmap(reinterpret_cast<void*>(page), end - page, PROT_READ,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
  return zeros != MAP_FAILED;
}

void on_bus_error(int signal, siginfo_t* info, void*) {
  const int saved_errno = errno;
  // si_code > 0: raised by the memory system for this access, not sent by
  // kill() or raise(), so si_addr is the address read.
  if (info != nullptr && info->si_code > 0) {
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (Slot& slot : slots) {
      const std::uintptr_t begin = slot.begin.load(std::memory_order_acquire);
      const std::uintptr_t end = slot.end.load(std::memory_order_acquire);
      if (begin == 0 || address < begin || address >= end) continue;
      if (!replace_with_zeros(address & ~(page_size - 1), end)) break;
      slot.faulted.store(true, std::memory_order_release);
      errno = saved_errno;
      return;
    }
  }
  // Not a covered page: the earlier action takes it. A fault repeats when
  // the read is retried on return; a sent signal is sent again, and stays
  // pending (blocked in this handler) until it returns.
  sigaction(signal, &previous_action, nullptr);
  if (info == nullptr || info->si_code <= 0) raise(signal);
  errno = saved_errno;
}

bool is_installed(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == on_bus_error;
}

}  // namespace

bool TruncationGuard::ensure_installed() noexcept {
  struct sigaction current;
  if (sigaction(SIGBUS, nullptr, &current) != 0) return false;
  if (is_installed(current)) return true;
  const long page = sysconf(_SC_PAGESIZE);
  if (page <= 0) return false;
  page_size = static_cast<std::uintptr_t>(page);
  // An ignored SIGBUS would retry a faulting read forever: the default
  // action stands in for it.
  if ((current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_IGN) current.sa_handler = SIG_DFL;
  previous_action = current;
  struct sigaction guard {};
  guard.sa_sigaction = on_bus_error;
  sigemptyset(&guard.sa_mask);
  guard.sa_flags = SA_SIGINFO | SA_ONSTACK;
  return sigaction(SIGBUS, &guard, nullptr) == 0;
}

std::optional<TruncationGuard> TruncationGuard::cover(void* begin, std::size_t length) noexcept {
  if (begin == nullptr || length == 0 || !ensure_installed()) return std::nullopt;
  const auto first = reinterpret_cast<std::uintptr_t>(begin);
  const std::uintptr_t end = first + (length + page_size - 1) / page_size * page_size;
  for (std::size_t i = 0; i < kSlots; ++i) {
    bool free = false;
    if (!slots[i].taken.compare_exchange_strong(free, true)) continue;
    slots[i].faulted.store(false, std::memory_order_relaxed);
    slots[i].end.store(end, std::memory_order_release);
    slots[i].begin.store(first, std::memory_order_release);
    return TruncationGuard(i);
  }
  return std::nullopt;
}

TruncationGuard::TruncationGuard(TruncationGuard&& other) noexcept : slot_(other.slot_) {
  other.slot_ = kNoSlot;
}

TruncationGuard& TruncationGuard::operator=(TruncationGuard&& other) noexcept {
  if (this != &other) {
    release();
    slot_ = other.slot_;
    other.slot_ = kNoSlot;
  }
  return *this;
}

void TruncationGuard::release() noexcept {
  if (slot_ == kNoSlot) return;
  // Emptied before the memory is unmapped, so that a later mapping at the
  // same address is never taken for this one.
  slots[slot_].begin.store(0, std::memory_order_release);
  slots[slot_].end.store(0, std::memory_order_release);
  slots[slot_].taken.store(false, std::memory_order_release);
  slot_ = kNoSlot;
}

bool TruncationGuard::faulted() const noexcept {
  return slot_ != kNoSlot && slots[slot_].faulted.load(std::memory_order_acquire);
}

}  // namespace vextral::native

#endif
