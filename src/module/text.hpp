// Turning Python objects into UTF-8 text for messages, and back.
#pragma once

#include <string>
#include <string_view>

#include "py_ref.hpp"

namespace vextral {

// A new str holding `text` (ill-formed UTF-8 replaced by U+FFFD); null with
// the interpreter's exception pending if the string cannot be made.
PyRef text_to_str(std::string_view text);

// The text of a str object. A str holding lone surrogates cannot be read as
// UTF-8 directly; each surrogate then becomes U+FFFD characters, one per
// ill-formed byte of its "surrogatepass" encoding.
std::string str_to_text(PyObject* str);

// str() of any object as text. When str() itself fails, the failure is
// reported as unraisable and the text reads "<unprintable {type} object>".
std::string object_text(PyObject* object);

// __name__ of an object's type, or `fallback` if it cannot be had.
std::string type_name_text(PyObject* object, std::string_view fallback);

}  // namespace vextral
