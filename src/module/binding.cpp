#include "binding.hpp"

#include <algorithm>
#include <cstring>

#include "binding_messages.hpp"
#include "pending_error.hpp"

namespace vextral {

void extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots) {
  const std::size_t positional =
      static_cast<std::size_t>(PyVectorcall_NARGS(static_cast<std::size_t>(nargs)));
  const std::size_t parameters = description.parameter_names.size();

  std::copy_n(args, std::min(positional, parameters), slots.begin());
  // Too many positional arguments is reported before any keyword is looked at.
  if (positional > parameters) throw too_many_positional_arguments(description, positional);

  if (kwnames != nullptr) {
    const Py_ssize_t keywords = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
      PyObject* name = PyTuple_GetItem(kwnames, k);
      Py_ssize_t size = 0;
      const char* text = PyUnicode_AsUTF8AndSize(name, &size);
      if (text == nullptr) {
        take_pending_error();  // a name that is not valid UTF-8 matches no parameter
        throw unexpected_keyword_argument(description, name);
      }
      const std::string_view given(text, static_cast<std::size_t>(size));
      std::size_t slot = 0;
      while (slot < parameters && description.parameter_names[slot] != given)
        ++slot;
      if (slot == parameters) throw unexpected_keyword_argument(description, name);
      if (slots[slot] != nullptr)
        throw multiple_values_for_argument(description, given);
      slots[slot] = args[positional + static_cast<std::size_t>(k)];
    }
  }

  for (std::size_t i = positional; i < description.required_count; ++i)
    if (slots[i] == nullptr) throw missing_required_arguments(description, slots);
}

}  // namespace vextral
