#include "panic_rebuild.hpp"

#include "entry_guard.hpp"
#include "panic_exception.hpp"

namespace vextral::native {

PyObject* rebuild_panic_exception(PyObject*, PyObject* args) {
  return run_guarded([&] { return vextral::rebuild_panic_exception(args).release(); });
}

}  // namespace vextral::native
