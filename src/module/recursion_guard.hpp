// Counts one entry of the module against the interpreter's recursion limit.
//
// A conversion may run Python code that calls the module again (an
// element's __float__ computing a measure of its own); each such level adds
// native frames to the thread's stack. Counting the levels where the
// interpreter counts its own C-level recursion lets a deep chain end in
// RecursionError, as CPython's own nested calls do, on any stack they
// survive on.
#pragma once

#include "pending_error.hpp"

namespace vextral {

class RecursionGuard {
 public:
  // One level of ours (entry guard, binding, the nested sequence reading)
  // takes about as much stack as the interpreter spends on two levels of
  // its own C recursion, so it is counted twice.
  static constexpr int kWeight = 2;

  RecursionGuard() {
    for (; entered_ < kWeight; ++entered_) {
      if (Py_EnterRecursiveCall(" in a call of vextral native code") != 0) {
        leave();
        raise_pending_error();
      }
    }
  }
  ~RecursionGuard() { leave(); }

  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;

 private:
  void leave() noexcept {
    for (; entered_ > 0; --entered_) Py_LeaveRecursiveCall();
  }
  int entered_ = 0;
};

}  // namespace vextral
