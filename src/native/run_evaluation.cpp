#include "run_evaluation.hpp"

#include <algorithm>
#include <chrono>
#include <memory>
#include <numeric>

namespace vextral::native {

namespace {

constexpr std::uint32_t kAbsent = 0xffffffffu;
// Queries between two calls of the monitor.
constexpr std::size_t kMonitorInterval = 64;

using Document = QueryDocuments::Document;

// Higher score first; equal scores by document identifier, descending bytes.
bool ranks_before(const Document& a, const Document& b) {
  if (a.score != b.score) return a.score > b.score;
  return a.id > b.id;
}

// Runs are usually written best first, except perhaps among equal scores:
// insertion sort takes a nearly ordered ranking in about one pass, and hands
// over to a full sort once it has moved more than a few entries per entry.
template <class Before>
void order_ranking(std::vector<std::uint32_t>& ranking, Before&& before) {
  const std::size_t n = ranking.size();
  std::size_t moves = 0;
  const std::size_t budget = 4 * n + 16;
  for (std::size_t i = 1; i < n; ++i) {
    const std::uint32_t entry = ranking[i];
    std::size_t j = i;
    while (j > 0 && before(entry, ranking[j - 1])) {
      ranking[j] = ranking[j - 1];
      --j;
      ++moves;
    }
    ranking[j] = entry;
    if (moves > budget) {
      std::sort(ranking.begin(), ranking.end(), before);
      return;
    }
  }
}

}  // namespace

std::uint64_t QueryDocuments::add(double score, std::string_view document, std::uint64_t line) {
  if (documents_.size() >= TextIndex::npos) throw TrecInputError("more than 4294967294 documents for one query");
  const auto next = static_cast<std::uint32_t>(documents_.size());
  const std::uint32_t found =
      index_.find_or_add(document, next, [this](std::uint32_t position) { return key_of(position); },
                         [&] { documents_.push_back(Document{score, text_.store(document), line}); });
  if (found == TextIndex::npos) return 0;
  Document& earlier = documents_[found];
  const std::uint64_t replaced = earlier.line;
  earlier.score = score;
  earlier.line = line;
  return replaced;
}

std::uint32_t QueryDocuments::find(std::string_view document) const {
  return index_.find(document, [this](std::uint32_t position) { return key_of(position); });
}

void QueryDocuments::clear() {
  index_.clear();
  documents_.clear();
  text_.clear();
}

// What both ways of reading share: scores one query at a time from its
// documents, and collects the results in qrels order.
class QueryScorer {
 public:
  QueryScorer(const Qrels& qrels, const EvaluationSettings& settings)
      : qrels_(qrels), settings_(settings), in_run_(qrels.queries.size(), false), scored_(qrels.queries.size()) {}

  // Repeated (query, document) pairs of the run, noted by the reading.
  Duplicates& duplicates() noexcept { return evaluation_.run_duplicates; }

  // One query of the run: its distinct documents, and find(document), their
  // position or TextIndex::npos.
  template <class Find>
  void score_query(std::uint32_t run_query, std::string_view name, const std::vector<Document>& documents,
                   const Find& find) {
    const auto start = std::chrono::steady_clock::now();
    score_documents(run_query, name, documents, find);
    evaluation_.seconds_scoring += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }

  RunEvaluation finish() {
    const auto start = std::chrono::steady_clock::now();
    add_missing_queries();
    evaluation_.seconds_scoring += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return std::move(evaluation_);
  }

 private:
  bool judged(std::uint32_t qrels_query) const { return !qrels_.relevant_to(qrels_query).empty(); }

  template <class Find>
  void score_documents(std::uint32_t run_query, std::string_view name, const std::vector<Document>& documents,
                       const Find& find) {
    const EvaluationMonitor& monitor = settings_.monitor;
    if (monitor.between_queries != nullptr && ++since_monitor_ == kMonitorInterval) {
      since_monitor_ = 0;
      monitor.between_queries(monitor.context);
    }
    const std::uint32_t qrels_query = qrels_.queries.find(name);
    if (qrels_query == QueryNames::npos) evaluation_.not_in_qrels.push_back(run_query);
    if (qrels_query == QueryNames::npos || !judged(qrels_query)) {
      evaluation_.without_judgments.push_back(run_query);
      return;
    }
    if (settings_.strict && evaluation_.run_duplicates.count > 0) return;  // fails in finish()

    const auto count = static_cast<std::uint32_t>(documents.size());
    ranking_.resize(count);
    std::iota(ranking_.begin(), ranking_.end(), std::uint32_t{0});
    order_ranking(ranking_,
                  [&](std::uint32_t a, std::uint32_t b) { return ranks_before(documents[a], documents[b]); });
    rank_of_.resize(count);
    for (std::uint32_t rank = 0; rank < count; ++rank) rank_of_[ranking_[rank]] = rank;

    relevant_ranks_.clear();
    for (const std::string_view document : qrels_.relevant_to(qrels_query)) {
      const std::uint32_t position = find(document);
      relevant_ranks_.push_back(position == TextIndex::npos ? kAbsent : rank_of_[position]);
    }
    scored_[qrels_query] = score(qrels_query, count);
    in_run_[qrels_query] = true;
  }

  void add_missing_queries() {
    if (settings_.strict && evaluation_.run_duplicates.count > 0)
      throw evaluation_.run_duplicates.error(settings_.run_name, "listed again");
    for (std::uint32_t q = 0; q < qrels_.queries.size(); ++q) {
      if (!judged(q)) continue;
      if (!in_run_[q]) {
        // A query the run lacks is scored as an empty ranking: all zeros.
        relevant_ranks_.assign(qrels_.relevant_to(q).size(), kAbsent);
        scored_[q] = score(q, 0);
        evaluation_.missing_from_run.push_back(q);
      }
      evaluation_.queries.push_back(std::move(scored_[q]));
    }
  }

  // The kernel at each depth, on the ranking numbered 0, 1, 2, ... and the
  // relevant documents: each at its rank when it is scored, otherwise
  // numbered on from the end of the scored ranking.
  QueryEvaluation score(std::uint32_t qrels_query, std::uint64_t ranked) {
    QueryEvaluation result;
    result.query = qrels_query;
    result.retrieved = ranked;
    result.relevant = relevant_ranks_.size();
    result.metrics.reserve(settings_.depths.size());
    if (identifiers_.size() < ranked) {
      identifiers_.resize(ranked);
      std::iota(identifiers_.begin(), identifiers_.end(), std::uint64_t{0});
    }
    for (const Depth& depth : settings_.depths) {
      const std::uint64_t scored = depth.kind == Depth::Kind::cutoff ? std::min(depth.k, ranked) : ranked;
      const std::uint64_t top_k = depth.kind == Depth::Kind::whole ? ranked : depth.k;
      relevant_.clear();
      std::uint64_t next = scored;
      for (const std::uint32_t rank : relevant_ranks_) {
        relevant_.push_back(rank != kAbsent && rank < scored ? rank : next++);
      }
      result.metrics.push_back(metrics::compute_retrieval_metrics(
          std::span<const std::uint64_t>(identifiers_.data(), scored), relevant_, top_k));
    }
    return result;
  }

  const Qrels& qrels_;
  const EvaluationSettings& settings_;
  std::vector<bool> in_run_;
  std::vector<QueryEvaluation> scored_;  // indexed by qrels query
  RunEvaluation evaluation_;
  std::size_t since_monitor_ = 0;

  std::vector<std::uint32_t> ranking_;  // positions into the documents, best first
  std::vector<std::uint32_t> rank_of_;  // position into the documents -> rank
  std::vector<std::uint32_t> relevant_ranks_;
  std::vector<std::uint64_t> identifiers_;  // 0, 1, 2, ...
  std::vector<std::uint64_t> relevant_;
};

struct StreamingEvaluator::State {
  State(const Qrels& qrels, const QueryNames& run_queries, const EvaluationSettings& settings)
      : scorer(qrels, settings), names(run_queries) {}

  // Scores the query whose lines have just ended.
  void close_query() {
    scorer.score_query(current, names.name(current), documents.documents(),
                       [this](std::string_view document) { return documents.find(document); });
    if (current >= closed.size()) closed.resize(std::size_t{current} + 1, false);
    closed[current] = true;
    documents.clear();
  }

  QueryScorer scorer;
  std::uint32_t current = QueryNames::npos;
  QueryDocuments documents;  // the current query's
  std::vector<bool> closed;
  const QueryNames& names;
};

StreamingEvaluator::StreamingEvaluator(const Qrels& qrels, const QueryNames& run_queries,
                                       const EvaluationSettings& settings)
    : state_(std::make_unique<State>(qrels, run_queries, settings)) {}

StreamingEvaluator::~StreamingEvaluator() = default;

void StreamingEvaluator::entry(std::uint32_t query, double score, std::string_view document, std::uint64_t line) {
  State& s = *state_;
  if (query != s.current) {
    if (query < s.closed.size() && s.closed[query]) throw RunNotGrouped{};
    // The previous query's lines have ended.
    if (s.current != QueryNames::npos) s.close_query();
    s.current = query;
  }
  const std::uint64_t replaced = s.documents.add(score, document, line);
  if (replaced != 0) s.scorer.duplicates().note(line, replaced, s.names.name(query), document);
}

RunEvaluation StreamingEvaluator::finish() {
  State& s = *state_;
  if (s.current != QueryNames::npos) s.close_query();
  return s.scorer.finish();
}

RunEvaluation evaluate_stored_run(const RunStore& run, const QueryNames& run_queries, const Qrels& qrels,
                                  const EvaluationSettings& settings) {
  // Each query's entries in order of first appearance: a stable counting
  // sort by query.
  const std::size_t queries = run.query_count;
  const std::size_t n = run.entries.size();
  std::vector<std::uint64_t> starts(queries + 1, 0);
  for (std::size_t i = 0; i < n; ++i) ++starts[run.entries[i].query + 1];
  std::partial_sum(starts.begin(), starts.end(), starts.begin());
  std::vector<std::uint64_t> order(n);
  {
    std::vector<std::uint64_t> next(starts.begin(), starts.end() - 1);
    for (std::size_t i = 0; i < n; ++i) order[next[run.entries[i].query]++] = i;
  }
  QueryScorer scorer(qrels, settings);
  scorer.duplicates() = run.duplicates;
  std::vector<Document> documents;
  PairKey key;
  for (std::uint32_t q = 0; q < queries; ++q) {
    documents.clear();
    for (std::uint64_t i = starts[q]; i < starts[q + 1]; ++i) {
      const RunStore::Entry& entry = run.entries[order[i]];
      documents.push_back(Document{entry.score, PairKey::document(entry.pair_key()), entry.line});
    }
    // The store's index finds the pair; the query's entries are in `order`
    // in increasing entry number, so its place there is the position.
    const auto first = order.begin() + static_cast<std::ptrdiff_t>(starts[q]);
    const auto last = order.begin() + static_cast<std::ptrdiff_t>(starts[q + 1]);
    scorer.score_query(q, run_queries.name(q), documents, [&](std::string_view document) {
      const std::uint32_t entry = run.find(key.compose(q, document));
      if (entry == TextIndex::npos) return TextIndex::npos;
      return static_cast<std::uint32_t>(std::lower_bound(first, last, std::uint64_t{entry}) - first);
    });
  }
  return scorer.finish();
}

}  // namespace vextral::native
