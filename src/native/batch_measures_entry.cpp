#include "batch_measures_entry.hpp"

#include <array>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "batch_argument.hpp"
#include "binding.hpp"
#include "conversion.hpp"
#include "entry_values.hpp"
#include "entry_guard.hpp"
#include "pass_watch.hpp"
#include "pending_error.hpp"
#include "result_objects.hpp"

namespace vextral::native {

namespace {

constexpr std::string_view kParameters[] = {"embeddings", "threads", "progress", "checked"};
constexpr FunctionDescription kDescription{"batch_measures", kParameters, 1};
constexpr FunctionDescription kMeasureDescription{"measure", kParameters, 1};

void set_float(PyObject* dict, const char* key, float value) { set_item(dict, key, float_result(value)); }

float float_argument(PyObject* object, std::string_view parameter) {
  try {
    return extract_f32(object);
  } catch (PythonError& error) {
    throw argument_extraction_error(parameter, std::move(error));
  }
}

// A batch's embeddings argument converted, its non-finite rows counted and
// reported to `checked`, then `measure(batch, options)` run on it with the
// interpreter lock released; the batch is released before any result object
// exists. Returns what measure returned, with the scan and the batch's shape.
template <class Result>
struct Measured {
  Result result;
  metrics::NonFiniteRows found;
  std::size_t rows = 0;
  std::size_t dimension = 0;
};

template <class Measure>
auto measure_argument(const std::array<PyObject*, 4>& slots, Measure&& measure) {
  const unsigned threads = threads_argument(slots[1], kParameters[1]);
  PassWatch watch(slots[2]);
  using Result = decltype(measure(std::declval<const metrics::EmbeddingBatch&>(),
                                  std::declval<const metrics::PassOptions&>()));
  Measured<Result> measured;
  // The raw rows are scanned before the pass packs them, so that a batch
  // read in place from a mapped file is walked in order and never again.
  const metrics::EmbeddingBatch batch = batch_argument(slots[0], kParameters[0]);
  measured.rows = batch.rows();
  measured.dimension = batch.dimension();
  measured.found = watch.without_lock([&] { return metrics::find_non_finite_rows(batch, threads); });
  report_scan(slots[3], measured.found);
  const metrics::PassOptions options = watch.options(threads);
  measured.result = watch.without_lock([&] { return measure(batch, options); });
  return measured;
}

template <class Result>
PyRef measures_dict(const Measured<Result>& measured) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) raise_pending_error();
  set_item(dict.get(), "non_finite_rows", PyRef::steal(PyLong_FromSize_t(measured.found.count)));
  set_item(dict.get(), "first_non_finite", first_non_finite(measured.found));
  set_item(dict.get(), "rows", PyRef::steal(PyLong_FromSize_t(measured.rows)));
  set_item(dict.get(), "dimension", PyRef::steal(PyLong_FromSize_t(measured.dimension)));
  return dict;
}

// The four measures under their names, with `suffix` after each name.
template <class Value>
void set_measures(PyObject* dict, const Value& isotropy, const Value& coverage, const Value& distinctiveness,
                  const Value& quality_score, const std::string& suffix = "") {
  const std::pair<const char*, Value> items[] = {
      {"isotropy", isotropy}, {"coverage", coverage}, {"distinctiveness", distinctiveness},
      {"quality_score", quality_score}};
  for (const auto& [name, value] : items) {
    const std::string key = name + suffix;
    if constexpr (std::is_same_v<Value, float>) {
      set_float(dict, key.c_str(), value);
    } else {
      set_double(dict, key.c_str(), value);
    }
  }
}

// An entry that measures its embeddings argument with `measure` and
// returns the dict `fill(dict, result)` completes.
template <class Measure, class Fill>
PyObject* measuring_entry(const FunctionDescription& description, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, Measure&& measure, Fill&& fill) {
  return run_guarded([&] {
    std::array<PyObject*, 4> slots{};
    extract_arguments_fastcall(description, args, nargs, kwnames, slots);
    const auto measured = measure_argument(slots, measure);
    PyRef dict = measures_dict(measured);
    fill(dict.get(), measured.result);
    return dict.release();
  });
}

}  // namespace

PyObject* batch_measures(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return measuring_entry(
      kDescription, args, nargs, kwnames,
      [](const metrics::EmbeddingBatch& batch, const metrics::PassOptions& options) {
        return metrics::compute_batch_measures(batch, options);
      },
      [](PyObject* dict, const metrics::BatchMeasures& measures) {
        set_measures(dict, measures.isotropy, measures.coverage, measures.distinctiveness,
                     measures.quality_score);
        // What the same formulas give from float64 sums of the same terms.
        set_measures(dict, measures.shadow.isotropy, measures.shadow.coverage,
                     measures.shadow.distinctiveness, measures.shadow.quality_score, "_shadow");
      });
}

PyObject* measure(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return measuring_entry(
      kMeasureDescription, args, nargs, kwnames,
      [](const metrics::EmbeddingBatch& batch, const metrics::PassOptions& options) {
        return metrics::compute_sound_measures(batch, options);
      },
      [](PyObject* dict, const metrics::SoundMeasures& measures) {
        set_measures(dict, measures.isotropy, measures.coverage, measures.distinctiveness,
                     measures.quality_score);
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
    metrics::BatchMeasures baseline;
    baseline.isotropy = values[0];
    baseline.coverage = values[1];
    baseline.distinctiveness = values[2];
    metrics::BatchMeasures current;
    current.isotropy = values[3];
    current.coverage = values[4];
    current.distinctiveness = values[5];
    return float_result(metrics::drift_between(baseline, current).value).release();
  });
}

namespace {

constexpr FunctionDescription kSoundDriftDescription{"sound_drift", kDriftParameters, 6};

double double_argument(PyObject* object) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) raise_pending_error();
  return value;
}

}  // namespace

PyObject* sound_drift(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_guarded([&] {
    std::array<PyObject*, 6> slots{};
    extract_arguments_fastcall(kSoundDriftDescription, args, nargs, kwnames, slots);
    metrics::SoundMeasures baseline;
    baseline.isotropy = double_argument(slots[0]);
    baseline.coverage = double_argument(slots[1]);
    baseline.distinctiveness = double_argument(slots[2]);
    metrics::SoundMeasures current;
    current.isotropy = double_argument(slots[3]);
    current.coverage = double_argument(slots[4]);
    current.distinctiveness = double_argument(slots[5]);
    PyRef result = PyRef::steal(PyFloat_FromDouble(metrics::sound_drift_between(baseline, current)));
    if (!result) raise_pending_error();
    return result.release();
  });
}

}  // namespace vextral::native
