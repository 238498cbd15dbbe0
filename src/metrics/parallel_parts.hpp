// Runs a few independent parts of one computation on worker threads and the
// calling thread, and joins them before it returns.
//
// part(p) runs once for every p < parts: part 0 on the calling thread, the
// others on threads started for them, or on the calling thread when a
// thread cannot be started. Each worker computes in the default float
// environment. A failure of any part is rethrown, once all have ended.
// Internal to the metrics module.
#pragma once

#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>

#include "buffer.hpp"
#include "float_environment.hpp"

namespace metrics {

// How many parts `work` items make for `threads` threads: no more parts
// than threads, than `most`, or than leave each at least `per_part` items;
// at least one.
inline std::size_t parts_for(unsigned threads, std::size_t work, std::size_t per_part,
                             std::size_t most = static_cast<std::size_t>(-1)) {
  std::size_t parts = threads == 0 ? 1 : threads;
  if (parts > work / per_part) parts = work / per_part;
  if (parts > most) parts = most;
  return parts == 0 ? 1 : parts;
}

template <class Part>
void run_parts(std::size_t parts, Part&& part) {
  if (parts == 0) return;
  std::mutex mutex;
  std::exception_ptr failure;
  auto guarded = [&](std::size_t p) noexcept {
    try {
      part(p);
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex);
      if (!failure) failure = std::current_exception();
    }
  };
  Buffer<std::thread> workers;
  Buffer<std::size_t> refused;
  try {
    workers.reserve(parts - 1);
    refused.reserve(parts - 1);
  } catch (...) {
    // No room even for the bookkeeping: every part on this thread.
    for (std::size_t p = 0; p < parts; ++p) guarded(p);
    if (failure) std::rethrow_exception(failure);
    return;
  }
  for (std::size_t p = 1; p < parts; ++p) {
    try {
      workers.emplace_back([&guarded, p] {
        const DefaultFloatEnvironment float_environment;
        guarded(p);
      });
    } catch (...) {
      refused.push_back(p);
    }
  }
  guarded(0);
  for (std::size_t p : refused) guarded(p);
  for (std::thread& worker : workers) worker.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace metrics
