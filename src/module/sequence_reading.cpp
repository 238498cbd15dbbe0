#include "sequence_reading.hpp"

#include <string>

#include "text.hpp"

namespace vextral {

void require_sequence(PyObject* object) {
  if (PySequence_Check(object)) return;
  std::string type_name = "<failed to extract type name>";
  if (PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)))) {
    try {
      type_name = str_to_text(name.get());
    } catch (const PythonError&) {
    }
  } else {
    take_pending_error();
  }
  throw PythonError::create(PyExc_TypeError,
                            "'" + type_name + "' object cannot be converted to 'Sequence'");
}

std::size_t length_hint(PyObject* object) {
  Py_ssize_t size = PySequence_Size(object);
  if (size < 0) {
    // A failing length only costs the pre-allocation, but an exception that
    // is no Exception (KeyboardInterrupt from a signal that arrived while
    // __len__ ran, SystemExit, GeneratorExit) must still end the call, as it
    // would end list(object).
    PythonError error = take_pending_error();
    if (!PyErr_GivenExceptionMatches(error.type(), PyExc_Exception)) throw error;
    return 0;
  }
  return std::min(static_cast<std::size_t>(size), kMaxPreallocatedItems);
}

}  // namespace vextral
