// Binding a fast call's arguments to a function's parameters.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "python.hpp"

namespace vextral {

// The constant description of one Python-visible function's parameters.
// Every parameter is positional-or-keyword and, unless a description says
// that only the first `required_count` are, required: vextral_core's
// functions state no count, while vextral._native's batch_measures has
// optional trailing parameters.
struct FunctionDescription {
  std::string_view function_name;
  std::span<const std::string_view> parameter_names;
  std::size_t required_count = parameter_names.size();
};

// Places each argument of a METH_FASTCALL | METH_KEYWORDS call into the slot
// of its parameter (borrowed references; nothing is converted). Throws a
// PythonError (TypeError naming the function) when the call does not fit.
// `slots` has one entry per parameter and starts out all null.
void extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots);

}  // namespace vextral
