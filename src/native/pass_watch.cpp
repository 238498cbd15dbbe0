#include "pass_watch.hpp"

#include "pass_options.hpp"
#include "pending_error.hpp"
#include "py_ref.hpp"

namespace vextral::native {

PassWatch::PassWatch(PyObject* progress)
    : progress_(progress == Py_None ? nullptr : progress) {}

metrics::PassOptions PassWatch::options(unsigned threads) {
  metrics::PassOptions options;
  options.threads = threads;
  // The command honours the same path setting as the library's functions.
  options.kernel_path = kernel_path_from_environment();
  options.monitor = {&PassWatch::between_panels, this};
  return options;
}

void PassWatch::take_lock_back() noexcept {
  if (released_ == nullptr) return;
  PyEval_RestoreThread(released_);
  released_ = nullptr;
}

void PassWatch::between_panels(void* context, std::uint64_t pairs_done, std::uint64_t pairs_total) {
  auto& self = *static_cast<PassWatch*>(context);
  // Python code runs with the lock held; if it raises, the lock stays held
  // and the exception unwinds the pass (without_lock sees it is held).
  self.take_lock_back();
  // A signal handler that raises (KeyboardInterrupt for SIGINT) ends the
  // pass: the exception unwinds through the kernel to the entry guard.
  if (PyErr_CheckSignals() < 0) raise_pending_error();
  if (self.progress_ != nullptr) {
    PyRef done = PyRef::steal(PyLong_FromUnsignedLongLong(pairs_done));
    if (!done) raise_pending_error();
    PyRef total = PyRef::steal(PyLong_FromUnsignedLongLong(pairs_total));
    if (!total) raise_pending_error();
    PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(self.progress_, done.get(), total.get(), nullptr));
    if (!result) raise_pending_error();
  }
  if (self.without_lock_) self.released_ = PyEval_SaveThread();
}

}  // namespace vextral::native
