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

constexpr std::string_view kParameters[] = {"embeddings", "threads", "progress"};
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

void set_item(PyObject* dict, const char* key, float value) {
  PyRef result = float_result(value);
  if (PyDict_SetItemString(dict, key, result.get()) < 0) raise_pending_error();
}

}  // namespace

PyObject* batch_measures(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_guarded([&] {
    std::array<PyObject*, 3> slots{};
    extract_arguments_fastcall(kDescription, args, nargs, kwnames, slots);
    const unsigned threads = thread_count(slots[1]);
    PassWatch watch(slots[2]);
    metrics::BatchMeasures measures;
    {
      // The batch is released before any result object exists.
      const metrics::EmbeddingBatch batch = batch_argument(slots[0], kParameters[0]);
      measures = metrics::compute_batch_measures(batch, watch.options(threads));
    }
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) raise_pending_error();
    set_item(dict.get(), "isotropy", measures.isotropy);
    set_item(dict.get(), "coverage", measures.coverage);
    set_item(dict.get(), "distinctiveness", measures.distinctiveness);
    set_item(dict.get(), "quality_score", measures.quality_score);
    return dict.release();
  });
}

}  // namespace vextral::native
