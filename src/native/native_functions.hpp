// The functions of vextral._native, as the interpreter's method table.
#pragma once

#include <span>

#include "python.hpp"

namespace vextral::native {

// Ends with the null sentinel the interpreter expects.
std::span<PyMethodDef> native_function_table();

}  // namespace vextral::native
