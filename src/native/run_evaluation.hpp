// A whole TREC run scored against its qrels, query by query, with the
// per-call retrieval kernel.
//
// Each query's ranking is its run lines ordered by score, highest first;
// equal scores are ordered by document identifier in descending byte order,
// as trec_eval orders them. A document listed twice for one query counts
// once, with the score of its last line. Documents are numbered per query
// exactly as the per-call path numbers them: the ranking's documents first,
// in rank order, then the relevant documents the ranking misses, in the
// order the qrels first list them.
//
// Plain C++: nothing here touches the interpreter.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "metrics.hpp"
#include "trec_reader.hpp"

namespace vextral::native {

// How deep each ranking is scored.
struct Depth {
  enum class Kind : std::uint8_t {
    whole,      // the whole ranking; the kernel's top_k is its length
    top_k,      // the whole ranking, with `k` as the kernel's top_k
    cutoff,     // the first `k` documents only, with `k` as top_k: measures @k
  };
  Kind kind = Kind::whole;
  std::uint64_t k = 0;
};

struct QueryEvaluation {
  std::uint32_t query;  // index into the qrels' query names
  std::uint64_t retrieved;  // documents in the ranking, each counted once
  std::uint64_t relevant;   // relevant documents in the qrels
  std::vector<metrics::RetrievalMetrics> metrics;  // one per depth
};

struct RunEvaluation {
  // Every query of the qrels with a relevant document, in qrels order.
  std::vector<QueryEvaluation> queries;
  // Of those, the ones the run lacks (they score 0), in qrels order.
  std::vector<std::uint32_t> missing_from_run;
  // Queries of the run without a relevant document, in run order (indices
  // into the run's query names).
  std::vector<std::uint32_t> without_judgments;
  Duplicates run_duplicates;
};

// Lets the caller stop a long evaluation: called now and then between
// queries; it stops the evaluation by throwing.
struct EvaluationMonitor {
  void (*between_queries)(void* context) = nullptr;
  void* context = nullptr;
};

// With `strict`, a document listed twice for one query in the run is an
// error (TrecInputError naming `run_name` and the line).
RunEvaluation evaluate_run(const Run& run, const Qrels& qrels, const std::vector<Depth>& depths, bool strict,
                           const std::string& run_name, const EvaluationMonitor& monitor = {});

}  // namespace vextral::native
