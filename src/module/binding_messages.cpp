#include "binding_messages.hpp"

#include <string>
#include <vector>

#include "text.hpp"

namespace vextral {

namespace {

std::string display_name(const FunctionDescription& description) {
  return std::string(description.function_name) + "()";
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
void push_parameter_list(std::string& out, const std::vector<std::string_view>& names) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ',';
      out += i + 1 == names.size() ? " and " : " ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
}

PythonError type_error(std::string message) {
  return PythonError::create(PyExc_TypeError, std::move(message));
}

}  // namespace

PythonError too_many_positional_arguments(const FunctionDescription& description, std::size_t given) {
  return type_error(display_name(description) + " takes " +
                    std::to_string(description.parameter_names.size()) +
                    " positional arguments but " + std::to_string(given) +
                    (given == 1 ? " was" : " were") + " given");
}

PythonError unexpected_keyword_argument(const FunctionDescription& description, PyObject* keyword) {
  return type_error(display_name(description) + " got an unexpected keyword argument '" +
                    object_text(keyword) + "'");
}

PythonError multiple_values_for_argument(const FunctionDescription& description,
                                         std::string_view keyword) {
  return type_error(display_name(description) + " got multiple values for argument '" +
                    std::string(keyword) + "'");
}

PythonError missing_required_positional_arguments(const FunctionDescription& description,
                                                  const std::vector<std::string_view>& missing) {
  std::string message = display_name(description) + " missing " + std::to_string(missing.size()) +
                        " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                        ": ";
  push_parameter_list(message, missing);
  return type_error(std::move(message));
}

PythonError missing_required_arguments(const FunctionDescription& description,
                                       std::span<PyObject* const> slots) {
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < description.required_count; ++i)
    if (slots[i] == nullptr) missing.push_back(description.parameter_names[i]);
  return missing_required_positional_arguments(description, missing);
}

}  // namespace vextral
