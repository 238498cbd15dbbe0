#include "trec_evaluation_function.hpp"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "entry_guard.hpp"
#include "pending_error.hpp"
#include "py_ref.hpp"
#include "python_error.hpp"
#include "run_evaluation.hpp"
#include "text.hpp"
#include "trec_reader.hpp"

namespace vextral::native {

namespace {

constexpr Py_ssize_t kArgumentCount = 7;

PyRef checked(PyObject* object) {
  if (object == nullptr) raise_pending_error();
  return PyRef::steal(object);
}

[[noreturn]] void type_error(const std::string& message) {
  throw PythonError::create(PyExc_TypeError, "evaluate_trec(): " + message);
}

// A file name as the bytes it came from: os.fsdecode() turns the bytes of a
// name that are not UTF-8 into lone surrogates, which "surrogateescape"
// turns back, so that error() can restore them in its message. Other lone
// surrogates (no file name has them) are read the lossy way.
std::string name_argument(PyObject* object, const char* what) {
  if (!PyUnicode_Check(object)) type_error(std::string(what) + " must be a str");
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(object, "utf-8", "surrogateescape"));
  if (!bytes) {
    take_pending_error();
    return str_to_text(object);
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) raise_pending_error();
  return std::string(data, static_cast<std::size_t>(size));
}

// The reader's one-line report as a ValueError. Its text is UTF-8 (every
// line it quotes has been checked) except for the bytes of file names that
// are not: decoded with "surrogateescape", those become the very
// characters of the name Python gave, so the message shows the name as
// every other message about the file does.
[[noreturn]] void input_error(const TrecInputError& error) {
  const std::string_view message = error.what();
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "surrogateescape"));
  if (!text) raise_pending_error();
  PyRef exception = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_ValueError, text.get(), nullptr));
  if (!exception) raise_pending_error();
  throw PythonError::from_object(std::move(exception));
}

// Feeds every chunk of `read()` to `reader`, until read() returns b"".
template <class Reader>
void read_all(PyObject* read, Reader& reader) {
  for (;;) {
    PyRef chunk = checked(PyObject_CallNoArgs(read));
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(chunk.get(), &data, &size) != 0) raise_pending_error();
    if (size == 0) return;
    reader.feed(std::string_view(data, static_cast<std::size_t>(size)));
  }
}

std::vector<Depth> depths_argument(PyObject* list) {
  if (!PyList_Check(list)) type_error("depths must be a list of (kind, k) tuples");
  std::vector<Depth> depths;
  const Py_ssize_t n = PyList_Size(list);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GetItem(list, i);  // borrowed
    if (pair == nullptr || !PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
      type_error("depths must be a list of (kind, k) tuples");
    }
    const long kind = PyLong_AsLong(PyTuple_GetItem(pair, 0));
    if (kind == -1 && PyErr_Occurred()) raise_pending_error();
    const unsigned long long k = PyLong_AsUnsignedLongLong(PyTuple_GetItem(pair, 1));
    if (k == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_pending_error();
    if (kind < 0 || kind > 2) type_error("a depth's kind must be 0, 1 or 2");
    depths.push_back(Depth{static_cast<Depth::Kind>(kind), k});
  }
  return depths;
}

// Stops the evaluation on Ctrl-C (or any pending signal handler's error).
void check_signals(void*) {
  if (PyErr_CheckSignals() != 0) raise_pending_error();
}

PyRef text_object(std::string_view text) {
  PyRef object = text_to_str(text);
  if (!object) raise_pending_error();
  return object;
}

PyRef unsigned_object(std::uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }

void set_item(PyObject* sequence, Py_ssize_t index, PyRef item, bool list) {
  const int status = list ? PyList_SetItem(sequence, index, item.release())
                          : PyTuple_SetItem(sequence, index, item.release());
  if (status != 0) raise_pending_error();
}

PyRef query_result(const QueryEvaluation& query, const QueryNames& names) {
  PyRef values = checked(PyTuple_New(static_cast<Py_ssize_t>(5 * query.metrics.size())));
  Py_ssize_t i = 0;
  for (const metrics::RetrievalMetrics& m : query.metrics) {
    for (const float value : {m.precision, m.recall, m.f1_score, m.mrr, m.ndcg}) {
      set_item(values.get(), i++, checked(PyFloat_FromDouble(value)), false);
    }
  }
  PyRef result = checked(PyTuple_New(4));
  set_item(result.get(), 0, text_object(names.name(query.query)), false);
  set_item(result.get(), 1, unsigned_object(query.retrieved), false);
  set_item(result.get(), 2, unsigned_object(query.relevant), false);
  set_item(result.get(), 3, std::move(values), false);
  return result;
}

PyRef name_list(const std::vector<std::uint32_t>& indices, const QueryNames& names) {
  PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(indices.size())));
  for (std::size_t i = 0; i < indices.size(); ++i) {
    set_item(list.get(), static_cast<Py_ssize_t>(i), text_object(names.name(indices[i])), true);
  }
  return list;
}

PyRef duplicates_result(const Duplicates& duplicates) {
  PyRef result = checked(PyTuple_New(3));
  set_item(result.get(), 0, unsigned_object(duplicates.count), false);
  set_item(result.get(), 1, unsigned_object(duplicates.line), false);
  set_item(result.get(), 2, unsigned_object(duplicates.first_line), false);
  return result;
}

struct ReadQrels {
  std::optional<Qrels> qrels;
  Duplicates duplicates;
  std::optional<TrecInputError> error;
};

// The qrels are read first, so that each query of the run can be scored as
// soon as its lines end. Their error waits until the run has been checked,
// so that a run's own mistakes are reported first, as a reader of the run
// and then the qrels would report them.
ReadQrels read_qrels(PyObject* read, const std::string& name) {
  ReadQrels result;
  try {
    QrelsReader reader(name);
    read_all(read, reader);
    result.qrels = reader.finish();
    result.duplicates = reader.duplicates();
  } catch (const TrecInputError& error) {
    result.error = error;
  }
  return result;
}

PyObject* evaluate(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != kArgumentCount) type_error("takes exactly 7 positional arguments");
  PyObject* run_read = args[0];
  PyObject* run_restart = args[1];
  const std::string run_name = name_argument(args[2], "run_name");
  PyObject* qrels_read = args[3];
  const std::string qrels_name = name_argument(args[4], "qrels_name");
  EvaluationSettings settings;
  settings.depths = depths_argument(args[5]);
  const int strict = PyObject_IsTrue(args[6]);
  if (strict < 0) raise_pending_error();
  settings.strict = strict != 0;
  settings.run_name = run_name;
  settings.monitor = EvaluationMonitor{check_signals, nullptr};

  try {
    const auto start = std::chrono::steady_clock::now();
    const ReadQrels read = read_qrels(qrels_read, qrels_name);
    QueryNames run_queries;
    std::optional<RunEvaluation> evaluation;
    if (read.error) {
      DiscardingSink discard;
      RunReader reader(run_name, run_queries, discard);
      read_all(run_read, reader);
      reader.finish();
      throw *read.error;
    }
    try {
      StreamingEvaluator evaluator(*read.qrels, run_queries, settings);
      RunReader reader(run_name, run_queries, evaluator);
      read_all(run_read, reader);
      reader.finish();
      evaluation = evaluator.finish();
    } catch (const RunNotGrouped&) {
      // The run comes back to a query it has left: read it again, whole.
      checked(PyObject_CallNoArgs(run_restart));
      run_queries = QueryNames();
      RunStore store(run_queries);
      RunReader reader(run_name, run_queries, store);
      read_all(run_read, reader);
      reader.finish();
      evaluation = evaluate_stored_run(store, run_queries, *read.qrels, settings);
    }
    // After the run's own repeats, which the evaluation reports.
    if (settings.strict && read.duplicates.count > 0) throw read.duplicates.error(qrels_name, "judged again");
    const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    const Qrels& qrels = *read.qrels;
    PyRef queries = checked(PyList_New(static_cast<Py_ssize_t>(evaluation->queries.size())));
    for (std::size_t i = 0; i < evaluation->queries.size(); ++i) {
      set_item(queries.get(), static_cast<Py_ssize_t>(i), query_result(evaluation->queries[i], qrels.queries),
               true);
    }
    PyRef timings = checked(PyTuple_New(2));
    set_item(timings.get(), 0, checked(PyFloat_FromDouble(total - evaluation->seconds_scoring)), false);
    set_item(timings.get(), 1, checked(PyFloat_FromDouble(evaluation->seconds_scoring)), false);
    // How the query ids of the two files meet: the run's queries the qrels
    // lack, how many queries the run has, and the first id of each file.
    PyRef matching = checked(PyTuple_New(4));
    set_item(matching.get(), 0, name_list(evaluation->not_in_qrels, run_queries), false);
    set_item(matching.get(), 1, unsigned_object(run_queries.size()), false);
    set_item(matching.get(), 2, text_object(run_queries.name(0)), false);
    set_item(matching.get(), 3, text_object(qrels.queries.name(0)), false);
    PyRef result = checked(PyTuple_New(7));
    set_item(result.get(), 0, std::move(queries), false);
    set_item(result.get(), 1, name_list(evaluation->missing_from_run, qrels.queries), false);
    set_item(result.get(), 2, name_list(evaluation->without_judgments, run_queries), false);
    set_item(result.get(), 3, duplicates_result(evaluation->run_duplicates), false);
    set_item(result.get(), 4, duplicates_result(read.duplicates), false);
    set_item(result.get(), 5, std::move(timings), false);
    set_item(result.get(), 6, std::move(matching), false);
    return result.release();
  } catch (const TrecInputError& error) {
    input_error(error);
  }
}

}  // namespace

PyObject* evaluate_trec(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return run_guarded([&] { return evaluate(args, nargs); });
}

}  // namespace vextral::native
