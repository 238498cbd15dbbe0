#include "partial_sums_entry.hpp"

#include <array>
#include <string_view>
#include <utility>

#include "batch_argument.hpp"
#include "binding.hpp"
#include "borrowed_memory.hpp"
#include "conversion.hpp"
#include "entry_values.hpp"
#include "entry_guard.hpp"
#include "pass_watch.hpp"
#include "pending_error.hpp"
#include "py_ref.hpp"

namespace vextral::native {

namespace {

constexpr std::string_view kPairParameters[] = {"rows", "columns", "threads", "progress"};
constexpr FunctionDescription kPairDescription{"pair_sums", kPairParameters, 1};
constexpr std::string_view kDimensionParameters[] = {"rows", "dimension", "threads"};
constexpr FunctionDescription kDimensionDescription{"dimension_sums", kDimensionParameters, 2};
constexpr std::string_view kValuesParameters[] = {"values"};
constexpr FunctionDescription kValuesDescription{"sum_similarities", kValuesParameters, 1};
constexpr std::string_view kMergeParameters[] = {"states"};
constexpr FunctionDescription kMergeDescription{"merge_sums", kMergeParameters, 1};
constexpr std::string_view kMeasuresParameters[] = {"pair_state", "dimension_state"};
constexpr FunctionDescription kMeasuresDescription{"measures_from_sums", kMeasuresParameters, 2};

// The longest dimension a state is sized for beyond the rows it is given
// (an empty part of a batch): 2^20, some 400 MB of sums.
constexpr std::uint64_t kMostDimensions = std::uint64_t{1} << 20;

std::uint64_t count_argument(PyObject* object, std::string_view parameter, std::uint64_t absent) {
  return object == nullptr ? absent : extract_u64_argument(object, parameter);
}

// A bytes-like argument's contiguous bytes, held while the keeper lives.
std::span<const unsigned char> bytes_argument(PyObject* object, BufferKeeper& keeper) {
  if (!keeper.acquire(object, PyBUF_SIMPLE)) raise_pending_error();
  return {static_cast<const unsigned char*>(keeper.view().buf), static_cast<std::size_t>(keeper.view().len)};
}

[[noreturn]] void not_a_state() {
  throw PythonError::create(PyExc_ValueError, "not states of exact sums of one kind and shape");
}

}  // namespace

PyObject* pair_sums(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_guarded([&] {
    std::array<PyObject*, 4> slots{};
    extract_arguments_fastcall(kPairDescription, args, nargs, kwnames, slots);
    const bool between = slots[1] != nullptr && slots[1] != Py_None;
    const unsigned threads = threads_argument(slots[2], kPairParameters[2]);
    PassWatch watch(slots[3]);
    metrics::Buffer<unsigned char> state;
    {
      const metrics::EmbeddingBatch rows = batch_argument(slots[0], kPairParameters[0]);
      metrics::EmbeddingBatch columns;
      if (between) columns = batch_argument(slots[1], kPairParameters[1]);
      const metrics::PassOptions options = watch.options(threads);
      state = watch.without_lock([&] {
        return between ? metrics::pair_sums_between(rows, columns, options)
                       : metrics::pair_sums_within(rows, options);
      });
    }
    return bytes_of(state).release();
  });
}

PyObject* dimension_sums(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_guarded([&] {
    std::array<PyObject*, 3> slots{};
    extract_arguments_fastcall(kDimensionDescription, args, nargs, kwnames, slots);
    const std::uint64_t dimension = count_argument(slots[1], kDimensionParameters[1], 0);
    const unsigned threads = threads_argument(slots[2], kDimensionParameters[2]);
    PassWatch watch(nullptr);
    metrics::Buffer<unsigned char> state;
    {
      const metrics::EmbeddingBatch rows = batch_argument(slots[0], kDimensionParameters[0]);
      // The dimension sizes the state (some 400 bytes a dimension): one
      // beyond both the rows given and any real embedding length is refused
      // before any memory is taken for it.
      std::size_t longest = 0;
      for (std::size_t i = 0; i < rows.rows(); ++i) {
        if (rows.row(i).size() > longest) longest = rows.row(i).size();
      }
      if (dimension > longest && dimension > kMostDimensions) {
        throw PythonError::create(PyExc_ValueError, "dimension is longer than every row and than any embedding");
      }
      const metrics::PassOptions options = watch.options(threads);
      state = watch.without_lock(
          [&] { return metrics::dimension_sums_of(rows, static_cast<std::size_t>(dimension), options); });
    }
    return bytes_of(state).release();
  });
}

PyObject* sum_similarities(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_guarded([&] {
    std::array<PyObject*, 1> slots{};
    extract_arguments_fastcall(kValuesDescription, args, nargs, kwnames, slots);
    BufferKeeper keeper;
    if (!keeper.acquire(slots[0], PyBUF_FORMAT | PyBUF_C_CONTIGUOUS)) raise_pending_error();
    const Py_buffer& view = keeper.view();
    const std::string_view format = view.format == nullptr ? "B" : view.format;
    if (view.itemsize != sizeof(float) || (format != "f" && format != "=f" && format != "<f")) {
      throw PythonError::create(PyExc_TypeError, "values must be a contiguous buffer of float32");
    }
    const std::span<const float> values(static_cast<const float*>(view.buf),
                                        static_cast<std::size_t>(view.len) / sizeof(float));
    return bytes_of(metrics::sum_similarities(values)).release();
  });
}

PyObject* merge_sums(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_guarded([&] {
    std::array<PyObject*, 1> slots{};
    extract_arguments_fastcall(kMergeDescription, args, nargs, kwnames, slots);
    PyRef items = PyRef::steal(PySequence_List(slots[0]));
    if (!items) raise_pending_error();
    const Py_ssize_t count = PyList_Size(items.get());
    metrics::Buffer<BufferKeeper> keepers(static_cast<std::size_t>(count));
    metrics::Buffer<std::span<const unsigned char>> states;
    states.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t s = 0; s < count; ++s) {
      // Borrowed from the list, which the call holds.
      states.push_back(bytes_argument(PyList_GetItem(items.get(), s), keepers[static_cast<std::size_t>(s)]));
    }
    const auto merged = metrics::merge_sums(states);
    if (!merged) not_a_state();
    return bytes_of(*merged).release();
  });
}

PyObject* measures_from_sums(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_guarded([&] {
    std::array<PyObject*, 2> slots{};
    extract_arguments_fastcall(kMeasuresDescription, args, nargs, kwnames, slots);
    BufferKeeper pair_keeper, dimension_keeper;
    const auto measures = metrics::sound_measures_from_sums(bytes_argument(slots[0], pair_keeper),
                                                            bytes_argument(slots[1], dimension_keeper));
    if (!measures) not_a_state();
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) raise_pending_error();
    set_double(dict.get(), "isotropy", measures->isotropy);
    set_double(dict.get(), "coverage", measures->coverage);
    set_double(dict.get(), "distinctiveness", measures->distinctiveness);
    set_double(dict.get(), "quality_score", measures->quality_score);
    return dict.release();
  });
}

}  // namespace vextral::native
