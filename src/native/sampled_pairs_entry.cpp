#include "sampled_pairs_entry.hpp"

#include <array>
#include <cmath>
#include <cstring>
#include <string_view>

#include "batch_argument.hpp"
#include "binding.hpp"
#include "borrowed_memory.hpp"
#include "conversion.hpp"
#include "entry_values.hpp"
#include "entry_guard.hpp"
#include "pair_sampling.hpp"
#include "pass_watch.hpp"
#include "pending_error.hpp"
#include "py_ref.hpp"

namespace vextral::native {

namespace {

constexpr std::string_view kMeasureParameters[] = {"embeddings", "pairs", "seed", "threads", "checked"};
constexpr FunctionDescription kMeasureDescription{"sampled_measure", kMeasureParameters, 3};
constexpr std::string_view kDrawParameters[] = {"rows", "count", "seed"};
constexpr FunctionDescription kDrawDescription{"draw_pairs", kDrawParameters, 3};
constexpr std::string_view kSimilarityParameters[] = {"rows", "pairs", "columns", "threads"};
constexpr FunctionDescription kSimilarityDescription{"pair_similarities", kSimilarityParameters, 2};
constexpr std::string_view kEstimateParameters[] = {"similarities", "dimension_state"};
constexpr FunctionDescription kEstimateDescription{"sampled_measures", kEstimateParameters, 2};

void check_rows(std::uint64_t rows) {
  if (rows > metrics::kMostSampledRows) {
    throw PythonError::create(PyExc_ValueError, "a sample of pairs is drawn from at most 2**32 rows");
  }
}

// A bytes-like argument's bytes, copied out (they need not be aligned), as
// `count` items of T; TypeError when its length is no multiple of T's.
template <class T>
metrics::Buffer<T> items_argument(PyObject* object, std::string_view parameter, const char* what) {
  BufferKeeper keeper;
  if (!keeper.acquire(object, PyBUF_C_CONTIGUOUS)) raise_pending_error();
  const auto length = static_cast<std::size_t>(keeper.view().len);
  if (length % sizeof(T) != 0) {
    throw PythonError::create(PyExc_TypeError, std::string(parameter) + " must be " + what);
  }
  metrics::Buffer<T> items(length / sizeof(T));
  if (length > 0) std::memcpy(items.data(), keeper.view().buf, length);
  return items;
}

PyRef estimates_dict(const metrics::SampledMeasures& sampled) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) raise_pending_error();
  const std::pair<const char*, double> values[] = {
      {"isotropy", sampled.measures.isotropy},
      {"coverage", sampled.measures.coverage},
      {"distinctiveness", sampled.measures.distinctiveness},
      {"quality_score", sampled.measures.quality_score},
      {"isotropy_stderr", sampled.isotropy_stderr},
      {"distinctiveness_stderr", sampled.distinctiveness_stderr},
      {"quality_score_stderr", sampled.quality_score_stderr},
  };
  for (const auto& [key, value] : values) set_double(dict.get(), key, value);
  const std::pair<const char*, metrics::SampledMeasures::Interval> intervals[] = {
      {"isotropy_interval", sampled.isotropy_interval},
      {"distinctiveness_interval", sampled.distinctiveness_interval},
      {"quality_score_interval", sampled.quality_score_interval},
  };
  for (const auto& [key, interval] : intervals) {
    set_item(dict.get(), key, PyRef::steal(Py_BuildValue("(dd)", interval.low, interval.high)));
  }
  set_item(dict.get(), "pairs", PyRef::steal(PyLong_FromUnsignedLongLong(sampled.pairs)));
  set_item(dict.get(), "population", PyRef::steal(PyLong_FromUnsignedLongLong(sampled.population)));
  return dict;
}

}  // namespace

PyObject* sampled_measure(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_guarded([&] {
    std::array<PyObject*, 5> slots{};
    extract_arguments_fastcall(kMeasureDescription, args, nargs, kwnames, slots);
    const std::uint64_t pairs = extract_u64_argument(slots[1], kMeasureParameters[1]);
    const std::uint64_t seed = extract_u64_argument(slots[2], kMeasureParameters[2]);
    const unsigned threads = threads_argument(slots[3], kMeasureParameters[3]);
    PassWatch watch(nullptr);
    metrics::SampledMeasures sampled;
    metrics::NonFiniteRows found;
    std::size_t rows = 0, dimension = 0;
    {
      const metrics::EmbeddingBatch batch = batch_argument(slots[0], kMeasureParameters[0]);
      rows = batch.rows();
      dimension = batch.dimension();
      check_rows(rows);
      found = watch.without_lock([&] { return metrics::find_non_finite_rows(batch, threads); });
      report_scan(slots[4], found);
      const metrics::PassOptions options = watch.options(threads);
      sampled = watch.without_lock([&] { return metrics::compute_sampled_measures(batch, pairs, seed, options); });
    }
    PyRef dict = estimates_dict(sampled);
    set_item(dict.get(), "rows", PyRef::steal(PyLong_FromSize_t(rows)));
    set_item(dict.get(), "dimension", PyRef::steal(PyLong_FromSize_t(dimension)));
    set_item(dict.get(), "non_finite_rows", PyRef::steal(PyLong_FromSize_t(found.count)));
    set_item(dict.get(), "first_non_finite", first_non_finite(found));
    return dict.release();
  });
}

PyObject* draw_pairs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_guarded([&] {
    std::array<PyObject*, 3> slots{};
    extract_arguments_fastcall(kDrawDescription, args, nargs, kwnames, slots);
    const std::uint64_t rows = extract_u64_argument(slots[0], kDrawParameters[0]);
    const std::uint64_t count = extract_u64_argument(slots[1], kDrawParameters[1]);
    const std::uint64_t seed = extract_u64_argument(slots[2], kDrawParameters[2]);
    check_rows(rows);
    PassWatch watch(nullptr);
    const metrics::Buffer<metrics::RowPair> pairs =
        watch.without_lock([&] { return metrics::draw_pairs(rows, count, seed); });
    static_assert(sizeof(metrics::RowPair) == 2 * sizeof(std::uint64_t));
    return bytes_of(pairs).release();
  });
}

PyObject* pair_similarities(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_guarded([&] {
    std::array<PyObject*, 4> slots{};
    extract_arguments_fastcall(kSimilarityDescription, args, nargs, kwnames, slots);
    const bool between = slots[2] != nullptr && slots[2] != Py_None;
    const unsigned threads = threads_argument(slots[3], kSimilarityParameters[3]);
    const metrics::Buffer<metrics::RowPair> pairs = items_argument<metrics::RowPair>(
        slots[1], kSimilarityParameters[1], "bytes of uint64 (first, second) couples");
    PassWatch watch(nullptr);
    metrics::Buffer<float> similarities;
    {
      const metrics::EmbeddingBatch rows = batch_argument(slots[0], kSimilarityParameters[0]);
      metrics::EmbeddingBatch columns;
      if (between) columns = batch_argument(slots[2], kSimilarityParameters[2]);
      const std::size_t second_rows = between ? columns.rows() : rows.rows();
      for (const metrics::RowPair& pair : pairs) {
        if (pair.first >= rows.rows() || pair.second >= second_rows) {
          throw PythonError::create(PyExc_ValueError, "a pair names a row the batch does not have");
        }
      }
      similarities = watch.without_lock(
          [&] { return metrics::similarities_of_pairs(rows, between ? &columns : nullptr, pairs, threads); });
    }
    return bytes_of(similarities).release();
  });
}

PyObject* sampled_measures(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_guarded([&] {
    std::array<PyObject*, 2> slots{};
    extract_arguments_fastcall(kEstimateDescription, args, nargs, kwnames, slots);
    const metrics::Buffer<float> similarities =
        items_argument<float>(slots[0], kEstimateParameters[0], "bytes of float32 similarities");
    const metrics::Buffer<unsigned char> state =
        items_argument<unsigned char>(slots[1], kEstimateParameters[1], "bytes");
    const auto sampled = metrics::sampled_measures_from(similarities, state);
    if (!sampled) {
      throw PythonError::create(PyExc_ValueError,
                                "not the dimension sums of a batch with at least as many pairs as similarities");
    }
    return estimates_dict(*sampled).release();
  });
}

}  // namespace vextral::native
