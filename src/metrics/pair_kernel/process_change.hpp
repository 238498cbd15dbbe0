// Whether a pass still runs in the process it started in.
//
// The monitor a pass calls between panels may run anything, a signal
// handler that forks among it. The child has only the thread that forked:
// the pass's worker threads are gone, and whatever they held (a lock, a
// panel half filled, a condition variable with waiters) is frozen in the
// child's copy of memory. A pass that finds itself in a new process must
// not wait for the workers, join them, or destroy what they shared; it
// leaves all that alone and finishes on the calling thread. Internal to the
// metrics module.
#pragma once

#include <cstdint>

#include "metrics.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#endif

namespace metrics {

class ProcessChange {
 public:
  ProcessChange() noexcept : started_in_(current()) {}
  bool happened() const noexcept { return current() != started_in_; }

 private:
#if defined(__unix__) || defined(__APPLE__)
  using Id = pid_t;
  static Id current() noexcept { return getpid(); }
#else
  // No fork elsewhere.
  using Id = int;
  static Id current() noexcept { return 0; }
#endif
  Id started_in_;
};

// Thrown by a pass's monitor wrapper in a forked child, caught by the pass.
struct ProcessForked {};

// A pass's monitor as the calling thread calls it: the caller's own, then a
// look at whether the process is still the one the pass started in.
class ForkAwareMonitor {
 public:
  explicit ForkAwareMonitor(const PassMonitor& inner) noexcept : inner_(inner) {}
  ForkAwareMonitor(const ForkAwareMonitor&) = delete;
  ForkAwareMonitor& operator=(const ForkAwareMonitor&) = delete;

  PassMonitor monitor() noexcept { return {&ForkAwareMonitor::between_panels, this}; }

 private:
  static void between_panels(void* context, std::uint64_t done, std::uint64_t total) {
    auto& self = *static_cast<ForkAwareMonitor*>(context);
    if (self.inner_.between_panels != nullptr) self.inner_.between_panels(self.inner_.context, done, total);
    if (self.process_.happened()) throw ProcessForked{};
  }

  PassMonitor inner_;
  ProcessChange process_;
};

}  // namespace metrics
