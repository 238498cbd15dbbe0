#include "native_functions.hpp"

#include "panic_rebuild.hpp"

namespace vextral::native {

namespace {

// One row per function; each feature adds its entry point above the sentinel.
PyMethodDef methods[] = {
    {"rebuild_panic_exception", rebuild_panic_exception, METH_VARARGS,
     "rebuild_panic_exception(*args)\n--\n\n"
     "Rebuild a pickled PanicException (the target of its pickle reduction)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

std::span<PyMethodDef> native_function_table() { return methods; }

}  // namespace vextral::native
