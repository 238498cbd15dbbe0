// The monitor the native entry points hand to a long pass: it lets Ctrl-C
// stop the pass, and reports progress to an optional Python callable.
//
// A pass may run with the interpreter lock released (without_lock): the
// monitor, called on the calling thread between panels, takes the lock back
// for the Python code it runs (signal handlers, the progress callable) and
// lets it go again before the pass goes on.
#pragma once

#include <utility>

#include "metrics.hpp"
#include "python.hpp"

namespace vextral::native {

class PassWatch {
 public:
  // `progress` is borrowed for the watch's lifetime; None or null for none.
  explicit PassWatch(PyObject* progress);
  PassWatch(const PassWatch&) = delete;
  PassWatch& operator=(const PassWatch&) = delete;

  // Pass options with this watch as their monitor; `threads` as given.
  metrics::PassOptions options(unsigned threads);

  // work(), with the interpreter lock released but while the monitor runs;
  // the lock is held again when it returns or throws. work() must touch no
  // Python object.
  template <class Work>
  auto without_lock(Work&& work) {
    without_lock_ = true;
    released_ = PyEval_SaveThread();
    try {
      auto result = std::forward<Work>(work)();
      take_lock_back();
      without_lock_ = false;
      return result;
    } catch (...) {
      take_lock_back();
      without_lock_ = false;
      throw;
    }
  }

 private:
  static void between_panels(void* context, std::uint64_t pairs_done, std::uint64_t pairs_total);
  void take_lock_back() noexcept;

  PyObject* progress_;
  // The released thread state while a pass runs without the lock; null
  // while the lock is held.
  PyThreadState* released_ = nullptr;
  bool without_lock_ = false;
};

}  // namespace vextral::native
