#include "result_objects.hpp"

#include <utility>

#include "failure.hpp"
#include "pending_error.hpp"

namespace vextral {

namespace {

// The interpreter could not build a result object: print its error and carry
// on as an internal failure, which the caller sees as PanicException.
PyRef built_or_fail(PyObject* object) {
  if (object == nullptr) {
    // Displayed, not handed to sys.excepthook, which could end the process.
    if (PyRef error = PyRef::steal(PyErr_GetRaisedException())) PyErr_DisplayException(error.get());
    throw metrics::InternalFailure("Python API call failed");
  }
  return PyRef::steal(object);
}

}  // namespace

PyRef float_result(float value) { return built_or_fail(PyFloat_FromDouble(static_cast<double>(value))); }

PyRef retrieval_result(const metrics::RetrievalMetrics& metrics) {
  const std::pair<const char*, float> entries[] = {
      {"precision", metrics.precision}, {"recall", metrics.recall}, {"f1_score", metrics.f1_score},
      {"mrr", metrics.mrr},             {"ndcg", metrics.ndcg},
  };
  PyRef dict = built_or_fail(PyDict_New());
  for (const auto& [key_text, field] : entries) {
    PyRef key = built_or_fail(PyUnicode_FromString(key_text));
    PyRef value = float_result(field);
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) raise_pending_error();
  }
  return dict;
}

}  // namespace vextral
