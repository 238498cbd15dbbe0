#include "native_functions.hpp"

namespace vextral::native {

namespace {

// One row per function; each feature adds its entry point above the sentinel.
PyMethodDef methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

std::span<PyMethodDef> native_function_table() { return methods; }

}  // namespace vextral::native
