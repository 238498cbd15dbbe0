// One row per Python-visible function: its name, parameters and docstring
// summary, and the call wrapper that serves it, written in one place. The
// interpreter's method records, and the text-signature line that opens each
// docstring, are generated from the rows at compile time.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <utility>

#include "binding.hpp"
#include "python.hpp"

namespace vextral {

// A call wrapper (bind against the row's description, convert, compute,
// build the result) and the number of argument slots it binds into.
struct FunctionCall {
  PyObject* (*run)(const FunctionDescription& description, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames);
  std::size_t slots;
};

struct FunctionRow {
  FunctionDescription description;  // the name and parameters binding reads
  std::string_view summary;         // __doc__: the docstring after its signature line
  FunctionCall call;
};

namespace function_row_detail {

inline constexpr std::string_view kSignatureEnd = ")\n--\n\n";

constexpr bool well_formed(const FunctionRow& row) {
  const FunctionDescription& description = row.description;
  const std::string_view name = description.function_name;
  // ml_name is the name's own storage, so it must end where a C string ends.
  return name.data()[name.size()] == '\0' && row.call.slots == description.parameter_names.size() &&
         // The generated signature shows no defaults, so every parameter
         // must be required.
         description.required_count == description.parameter_names.size();
}

constexpr std::size_t docstring_length(const FunctionRow& row) {
  const FunctionDescription& description = row.description;
  std::size_t length = description.function_name.size() + 1;
  for (std::size_t i = 0; i < description.parameter_names.size(); ++i)
    length += (i > 0 ? 2 : 0) + description.parameter_names[i].size();
  return length + kSignatureEnd.size() + row.summary.size();
}

// "name(a, b)\n--\n\nsummary": the interpreter reports "(a, b)" as the
// function's __text_signature__ and only the summary as its __doc__.
template <std::size_t length>
constexpr std::array<char, length + 1> docstring_text(const FunctionRow& row) {
  std::array<char, length + 1> text{};
  std::size_t at = 0;
  auto put = [&](std::string_view part) {
    for (char c : part) text[at++] = c;
  };
  put(row.description.function_name);
  put("(");
  for (std::size_t i = 0; i < row.description.parameter_names.size(); ++i) {
    if (i > 0) put(", ");
    put(row.description.parameter_names[i]);
  }
  put(kSignatureEnd);
  put(row.summary);
  return text;  // the last character stays '\0'
}

template <const auto& rows, std::size_t i>
inline constexpr auto docstring = docstring_text<docstring_length(rows[i])>(rows[i]);

// The entry point the interpreter calls for rows[i] (METH_FASTCALL |
// METH_KEYWORDS); a method record cannot carry the row, so each row gets its
// own instantiation.
template <const auto& rows, std::size_t i>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return rows[i].call.run(rows[i].description, args, nargs, kwnames);
}

template <const auto& rows, std::size_t i>
PyMethodDef method_record() {
  static_assert(well_formed(rows[i]));
  // The interpreter's record stores every entry point as a plain PyCFunction.
  return {rows[i].description.function_name.data(),
          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<rows, i>)),
          METH_FASTCALL | METH_KEYWORDS, docstring<rows, i>.data()};
}

template <const auto& rows, std::size_t... i>
std::array<PyMethodDef, sizeof...(i)> method_records(std::index_sequence<i...>) {
  return {method_record<rows, i>()...};
}

}  // namespace function_row_detail

// The interpreter's method records for `rows`, in row order.
template <const auto& rows>
std::array<PyMethodDef, std::size(rows)> method_records() {
  return function_row_detail::method_records<rows>(std::make_index_sequence<std::size(rows)>());
}

}  // namespace vextral
