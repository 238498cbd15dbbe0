#include "batch_measures_entry.hpp"

#include <array>
#include <limits>
#include <string_view>
#include <utility>

#include "batch_argument.hpp"
#include "binding.hpp"
#include "conversion.hpp"
#include "entry_guard.hpp"
#include "pass_watch.hpp"
#include "pending_error.hpp"
#include "result_objects.hpp"

namespace vextral::native {

namespace {

constexpr std::string_view kParameters[] = {"embeddings", "threads", "progress", "checked"};
constexpr FunctionDescription kDescription{"batch_measures", kParameters, 1};

unsigned thread_count(PyObject* object) {
  if (object == nullptr) return 1;
  std::uint64_t threads;
  try {
    threads = extract_u64(object);
  } catch (PythonError& error) {
    throw argument_extraction_error(kParameters[1], std::move(error));
  }
  if (threads == 0) throw PythonError::create(PyExc_ValueError, "threads must be at least 1");
  const std::uint64_t most = std::numeric_limits<unsigned>::max();
  return static_cast<unsigned>(threads < most ? threads : most);
}

void set_item(PyObject* dict, const char* key, PyRef value) {
  if (!value || PyDict_SetItemString(dict, key, value.get()) < 0) raise_pending_error();
}

void set_item(PyObject* dict, const char* key, float value) { set_item(dict, key, float_result(value)); }

// The index of the first non-finite row, or None.
PyRef first_index(const metrics::NonFiniteRows& found) {
  return found.count == 0 ? PyRef::borrow(Py_None) : PyRef::steal(PyLong_FromSize_t(found.first));
}

// checked(count, first) with what the scan found, before the pass; its
// exception ends the call.
void report_scan(PyObject* checked, const metrics::NonFiniteRows& found) {
  if (checked == nullptr || checked == Py_None) return;
  PyRef count = PyRef::steal(PyLong_FromSize_t(found.count));
  if (!count) raise_pending_error();
  PyRef first = first_index(found);
  if (!first) raise_pending_error();
  PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(checked, count.get(), first.get(), nullptr));
  if (!result) raise_pending_error();
}

float float_argument(PyObject* object, std::string_view parameter) {
  try {
    return extract_f32(object);
  } catch (PythonError& error) {
    throw argument_extraction_error(parameter, std::move(error));
  }
}

}  // namespace

PyObject* batch_measures(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_guarded([&] {
    std::array<PyObject*, 4> slots{};
    extract_arguments_fastcall(kDescription, args, nargs, kwnames, slots);
    const unsigned threads = thread_count(slots[1]);
    PassWatch watch(slots[2]);
    metrics::BatchMeasures measures;
    metrics::NonFiniteRows found;
    {
      // The batch is released before any result object exists. The raw
      // rows are scanned before the pass packs them, so that a batch read
      // in place from a mapped file is walked in order and never again.
      const metrics::EmbeddingBatch batch = batch_argument(slots[0], kParameters[0]);
      found = metrics::find_non_finite_rows(batch);
      report_scan(slots[3], found);
      measures = metrics::compute_batch_measures(batch, watch.options(threads));
    }
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) raise_pending_error();
    set_item(dict.get(), "isotropy", measures.isotropy);
    set_item(dict.get(), "coverage", measures.coverage);
    set_item(dict.get(), "distinctiveness", measures.distinctiveness);
    set_item(dict.get(), "quality_score", measures.quality_score);
    set_item(dict.get(), "non_finite_rows", PyRef::steal(PyLong_FromSize_t(found.count)));
    set_item(dict.get(), "first_non_finite", first_index(found));
    return dict.release();
  });
}

namespace {

constexpr std::string_view kDriftParameters[] = {
    "baseline_isotropy", "baseline_coverage", "baseline_distinctiveness",
    "current_isotropy",  "current_coverage",  "current_distinctiveness"};
constexpr FunctionDescription kDriftDescription{"drift_between", kDriftParameters, 6};

}  // namespace

PyObject* drift_between(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_guarded([&] {
    std::array<PyObject*, 6> slots{};
    extract_arguments_fastcall(kDriftDescription, args, nargs, kwnames, slots);
    float values[6];
    for (std::size_t i = 0; i < 6; ++i) values[i] = float_argument(slots[i], kDriftParameters[i]);
    const metrics::BatchMeasures baseline{values[0], values[1], values[2], 0.0f};
    const metrics::BatchMeasures current{values[3], values[4], values[5], 0.0f};
    return float_result(metrics::drift_between(baseline, current)).release();
  });
}

}  // namespace vextral::native
