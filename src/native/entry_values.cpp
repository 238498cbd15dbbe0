#include "entry_values.hpp"

#include "conversion.hpp"
#include "pass_options.hpp"
#include "pending_error.hpp"
#include "python_error.hpp"

namespace vextral::native {

unsigned threads_argument(PyObject* object, std::string_view parameter) {
  const std::uint64_t threads = object == nullptr ? 1 : extract_u64_argument(object, parameter);
  if (threads == 0) throw PythonError::create(PyExc_ValueError, "threads must be at least 1");
  return threads < kMaxThreads ? static_cast<unsigned>(threads) : kMaxThreads;
}

void set_item(PyObject* dict, const char* key, PyRef value) {
  if (!value || PyDict_SetItemString(dict, key, value.get()) < 0) raise_pending_error();
}

void set_double(PyObject* dict, const char* key, double value) {
  set_item(dict, key, PyRef::steal(PyFloat_FromDouble(value)));
}

PyRef bytes_of(const void* data, std::size_t size) {
  PyRef result =
      PyRef::steal(PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
  if (!result) raise_pending_error();
  return result;
}

PyRef first_non_finite(const metrics::NonFiniteRows& found) {
  PyRef first = found.count == 0 ? PyRef::borrow(Py_None) : PyRef::steal(PyLong_FromSize_t(found.first));
  if (!first) raise_pending_error();
  return first;
}

void report_scan(PyObject* checked, const metrics::NonFiniteRows& found) {
  if (checked == nullptr || checked == Py_None) return;
  PyRef count = PyRef::steal(PyLong_FromSize_t(found.count));
  if (!count) raise_pending_error();
  PyRef first = first_non_finite(found);
  PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(checked, count.get(), first.get(), nullptr));
  if (!result) raise_pending_error();
}

}  // namespace vextral::native
