#include "text.hpp"

#include "pending_error.hpp"

namespace vextral {

PyRef text_to_str(std::string_view text) {
  return PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

std::string str_to_text(PyObject* str) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size))
    return std::string(utf8, static_cast<std::size_t>(size));
  take_pending_error();  // lone surrogates: read it the lossy way instead
  PyRef encoded = PyRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  if (!encoded) raise_pending_error();
  PyRef decoded = PyRef::steal(PyUnicode_DecodeUTF8(
      PyBytes_AsString(encoded.get()), PyBytes_Size(encoded.get()), "replace"));
  if (!decoded) raise_pending_error();
  const char* utf8 = PyUnicode_AsUTF8AndSize(decoded.get(), &size);
  if (utf8 == nullptr) raise_pending_error();
  return std::string(utf8, static_cast<std::size_t>(size));
}

std::string type_name_text(PyObject* object, std::string_view fallback) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
  if (!name) {
    take_pending_error();
    return std::string(fallback);
  }
  return str_to_text(name.get());
}

std::string object_text(PyObject* object) {
  PyRef str = PyRef::steal(PyObject_Str(object));
  if (str) return str_to_text(str.get());
  take_pending_error().restore();
  PyErr_WriteUnraisable(object);
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
  if (!name) {
    take_pending_error();
    return "<unprintable object>";
  }
  return "<unprintable " + str_to_text(name.get()) + " object>";
}

}  // namespace vextral
