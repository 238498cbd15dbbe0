// The monitor the native entry points hand to a long pair pass: it lets
// Ctrl-C stop the pass, and reports progress to an optional Python callable.
#pragma once

#include "metrics.hpp"
#include "python.hpp"

namespace vextral::native {

class PassWatch {
 public:
  // `progress` is borrowed for the watch's lifetime; None or null for none.
  explicit PassWatch(PyObject* progress);

  // Pass options with this watch as their monitor; `threads` as given.
  metrics::PassOptions options(unsigned threads);

 private:
  static void between_panels(void* context, std::uint64_t pairs_done, std::uint64_t pairs_total);

  PyObject* progress_;
};

}  // namespace vextral::native
