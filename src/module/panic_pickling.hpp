// Pickling of PanicException instances.
//
// The class claims the module "pyo3_runtime", which cannot be imported, so
// pickle cannot find it by name: a PanicException raised in a worker of a
// process pool could not travel back to the parent. Instead, a reduction
// registered with copyreg when the class is created pickles each instance as
// a call of vextral._native.rebuild_panic_exception with the instance's
// arguments; in the receiving process that call creates the class at first
// use, as the module itself would, and builds the instance.
//
// Both extension modules (vextral_core and vextral._native) carry this layer,
// and a process must have one PanicException class, not one per module: a
// module about to create the class first looks for one that the other module
// registered with copyreg, and uses it.
#pragma once

#include "py_ref.hpp"

namespace vextral {

// The class registered by either module, or null; never throws (whatever
// goes wrong while looking is discarded: the class is then created afresh).
PyRef registered_panic_class() noexcept;

// Registers the reduction for a newly created class. A failure is discarded:
// the class is still usable, its instances only cannot be pickled.
void register_panic_reduction(PyObject* panic_class) noexcept;

// The rebuilding entry point's body: the class (created at first use) called
// with `args`. Throws PythonError on failure.
PyRef rebuild_panic_exception(PyObject* args);

}  // namespace vextral
