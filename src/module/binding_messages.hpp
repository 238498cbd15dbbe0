// The TypeErrors a call that does not fit its function's parameters raises.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "binding.hpp"
#include "python_error.hpp"

namespace vextral {

PythonError too_many_positional_arguments(const FunctionDescription& description, std::size_t given);
PythonError unexpected_keyword_argument(const FunctionDescription& description, PyObject* keyword);
PythonError multiple_values_for_argument(const FunctionDescription& description, std::string_view keyword);
// Lists every parameter among the required ones whose slot is still empty.
PythonError missing_required_arguments(const FunctionDescription& description,
                                       std::span<PyObject* const> slots);

}  // namespace vextral
