// A whole TREC run scored against its qrels, query by query, with the
// per-call retrieval kernel.
//
// Each query's ranking is its run lines ordered by score, highest first;
// equal scores are ordered by document identifier in descending byte order,
// as trec_eval orders them. A document listed twice for one query counts
// once, with the score of its last line; it is kept once as it is read, so
// a query costs memory for its distinct documents, however many lines
// repeat them. Documents are numbered per query
// exactly as the per-call path numbers them: the ranking's documents first,
// in rank order, then the relevant documents the ranking misses, in the
// order the qrels first list them.
//
// Runs list each query's lines together, so the evaluator scores a query as
// soon as its lines end and keeps only that query's documents in memory. A
// run that comes back to a query it has left cannot be scored that way; the
// evaluator then says so (RunNotGrouped) and the caller reads the run again
// into a RunStore and scores it with evaluate_stored_run.
//
// Plain C++: nothing here touches the interpreter.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "metrics.hpp"
#include "trec_reader.hpp"

namespace vextral::native {

// How deep each ranking is scored.
struct Depth {
  enum class Kind : std::uint8_t {
    whole,   // the whole ranking; the kernel's top_k is its length
    top_k,   // the whole ranking, with `k` as the kernel's top_k
    cutoff,  // the first `k` documents only, with `k` as top_k: measures @k
  };
  Kind kind = Kind::whole;
  std::uint64_t k = 0;
};

struct QueryEvaluation {
  std::uint32_t query = 0;       // index into the qrels' query names
  std::uint64_t retrieved = 0;   // documents in the ranking, each counted once
  std::uint64_t relevant = 0;    // relevant documents in the qrels
  std::vector<metrics::RetrievalMetrics> metrics;  // one per depth
};

struct RunEvaluation {
  // Every query of the qrels with a relevant document, in qrels order.
  std::vector<QueryEvaluation> queries;
  // Of those, the ones the run lacks (they score 0), in qrels order.
  std::vector<std::uint32_t> missing_from_run;
  // Queries of the run without a relevant document, in run order (indices
  // into the run reader's query names).
  std::vector<std::uint32_t> without_judgments;
  // Of those, the ones the qrels do not list at all.
  std::vector<std::uint32_t> not_in_qrels;
  Duplicates run_duplicates;
  // Wall-clock time spent scoring (the rest of the pass reads).
  double seconds_scoring = 0;
};

// Lets the caller stop a long evaluation: called now and then between
// queries; it stops the evaluation by throwing.
struct EvaluationMonitor {
  void (*between_queries)(void* context) = nullptr;
  void* context = nullptr;
};

struct EvaluationSettings {
  std::vector<Depth> depths;
  // A document listed twice for one query is an error (TrecInputError
  // naming the run and the line) instead of replacing the earlier line.
  bool strict = false;
  std::string run_name;
  EvaluationMonitor monitor;
};

// The distinct documents of one query's lines, in order of first appearance,
// each with the score and line number of its last line.
class QueryDocuments {
 public:
  struct Document {
    double score;
    std::string_view id;
    std::uint64_t line;
  };

  // Adds one line: returns 0 for a new document, otherwise the line number
  // of the document's previous line, which this one replaces.
  std::uint64_t add(double score, std::string_view document, std::uint64_t line);
  // The position of `document` in documents(), or TextIndex::npos.
  std::uint32_t find(std::string_view document) const;
  const std::vector<Document>& documents() const noexcept { return documents_; }
  void clear();

 private:
  std::string_view key_of(std::uint32_t position) const { return documents_[position].id; }

  TextStore text_;
  std::vector<Document> documents_;
  TextIndex index_;
};

// Thrown by StreamingEvaluator when the run returns to a query it has left.
struct RunNotGrouped {};

// Scores each query of a run whose queries' lines are contiguous as soon as
// they end. Give it as the sink of a RunReader that fills `run_queries`,
// then call finish() after the reader's.
class StreamingEvaluator : public RunSink {
 public:
  StreamingEvaluator(const Qrels& qrels, const QueryNames& run_queries, const EvaluationSettings& settings);
  ~StreamingEvaluator() override;

  void entry(std::uint32_t query, double score, std::string_view document, std::uint64_t line) override;
  RunEvaluation finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Scores a run held whole in memory.
RunEvaluation evaluate_stored_run(const RunStore& run, const QueryNames& run_queries, const Qrels& qrels,
                                  const EvaluationSettings& settings);

}  // namespace vextral::native
