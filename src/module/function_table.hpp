// The functions the module registers, in registration order.
#pragma once

#include <span>

#include "python.hpp"

namespace vextral {

std::span<PyMethodDef> function_table();

}  // namespace vextral
