#include "run_evaluation.hpp"

#include <algorithm>
#include <functional>
#include <numeric>
#include <string_view>

namespace vextral::native {

namespace {

constexpr std::uint32_t kAbsent = 0xffffffffu;
// Queries between two calls of the monitor.
constexpr std::size_t kMonitorInterval = 64;

std::string_view document_of(const RunEntry& entry) { return {entry.document, entry.document_length}; }

// Where each query's entries are, in file order: contiguous ranges when the
// file lists each query's lines together, otherwise a stable counting sort
// of the entry positions by query.
class EntriesByQuery {
 public:
  explicit EntriesByQuery(const Run& run) : grouped_(run.grouped) {
    const std::size_t queries = run.queries.size();
    const std::size_t n = run.entries.size();
    starts_.assign(queries + 1, 0);
    for (std::size_t i = 0; i < n; ++i) ++starts_[run.entries[i].query + 1];
    std::partial_sum(starts_.begin(), starts_.end(), starts_.begin());
    if (grouped_) {
      // Contiguous, but in order of first appearance, which is query order.
      return;
    }
    order_.resize(n);
    std::vector<std::uint64_t> next(starts_.begin(), starts_.end() - 1);
    for (std::size_t i = 0; i < n; ++i) order_[next[run.entries[i].query]++] = i;
  }

  void collect(std::uint32_t query, std::vector<std::uint64_t>& out) const {
    const std::uint64_t begin = starts_[query], end = starts_[query + 1];
    out.resize(end - begin);
    for (std::uint64_t i = begin; i < end; ++i) out[i - begin] = grouped_ ? i : order_[i];
  }

 private:
  bool grouped_;
  std::vector<std::uint64_t> starts_;
  std::vector<std::uint64_t> order_;
};

// The distinct documents of one query's entries, reused from query to query
// (open addressing, at most half full). Holds positions into the query's
// entry list.
class DocumentTable {
 public:
  void reset(std::size_t entries) {
    std::size_t size = 16;
    while (size < 2 * entries) size *= 2;
    slots_.assign(size, kAbsent);
    mask_ = size - 1;
  }

  // The slot holding `document`, or the empty slot where it belongs.
  template <class DocumentAt>
  std::uint32_t& slot(std::string_view document, DocumentAt&& document_at) {
    std::size_t index = std::hash<std::string_view>{}(document) & mask_;
    while (slots_[index] != kAbsent && document_at(slots_[index]) != document) index = (index + 1) & mask_;
    return slots_[index];
  }

 private:
  std::vector<std::uint32_t> slots_;
  std::size_t mask_ = 0;
};

// Higher score first; equal scores by document identifier, descending bytes.
bool ranks_before(const RunEntry& a, const RunEntry& b) {
  if (a.score != b.score) return a.score > b.score;
  return document_of(a) > document_of(b);
}

class Evaluator {
 public:
  explicit Evaluator(const std::vector<Depth>& depths) : depths_(depths) {}

  // Scores one query from its ranking (entry positions, best first) and the
  // rank of each of its relevant documents in it (kAbsent when missing).
  QueryEvaluation score(std::uint32_t qrels_query, std::uint64_t ranked,
                        const std::vector<std::uint32_t>& relevant_ranks) {
    QueryEvaluation result{qrels_query, ranked, relevant_ranks.size(), {}};
    result.metrics.reserve(depths_.size());
    if (identifiers_.size() < ranked) {
      identifiers_.resize(ranked);
      std::iota(identifiers_.begin(), identifiers_.end(), std::uint64_t{0});
    }
    for (const Depth& depth : depths_) {
      const std::uint64_t scored = depth.kind == Depth::Kind::cutoff ? std::min(depth.k, ranked) : ranked;
      const std::uint64_t top_k = depth.kind == Depth::Kind::whole ? ranked : depth.k;
      relevant_.clear();
      std::uint64_t next = scored;
      for (const std::uint32_t rank : relevant_ranks) {
        relevant_.push_back(rank != kAbsent && rank < scored ? rank : next++);
      }
      result.metrics.push_back(metrics::compute_retrieval_metrics(
          std::span<const std::uint64_t>(identifiers_.data(), scored), relevant_, top_k));
    }
    return result;
  }

 private:
  const std::vector<Depth>& depths_;
  std::vector<std::uint64_t> identifiers_;  // 0, 1, 2, ...: the ranking, numbered
  std::vector<std::uint64_t> relevant_;
};

bool has_relevant(const QrelsQuery& query) {
  return std::any_of(query.judgments.begin(), query.judgments.end(),
                     [](const Judgment& judgment) { return judgment.relevant; });
}

}  // namespace

RunEvaluation evaluate_run(const Run& run, const Qrels& qrels, const std::vector<Depth>& depths, bool strict,
                           const std::string& run_name, const EvaluationMonitor& monitor) {
  RunEvaluation evaluation;
  const std::size_t qrels_queries = qrels.queries.size();
  std::vector<bool> judged(qrels_queries), in_run(qrels_queries, false);
  for (std::size_t q = 0; q < qrels_queries; ++q) judged[q] = has_relevant(qrels.judged[q]);
  std::vector<QueryEvaluation> scored(qrels_queries);

  const EntriesByQuery by_query(run);
  Evaluator evaluator(depths);
  DocumentTable table;
  std::vector<std::uint64_t> entries;       // this query's entries, file order
  std::vector<std::uint32_t> ranking;       // positions into `entries` that count, best first
  std::vector<std::uint32_t> rank_of;       // position into `entries` -> rank
  std::vector<std::uint32_t> relevant_ranks;

  for (std::uint32_t q = 0; q < run.queries.size(); ++q) {
    if (monitor.between_queries != nullptr && q % kMonitorInterval == 0) monitor.between_queries(monitor.context);
    by_query.collect(q, entries);
    if (entries.size() >= kAbsent) throw TrecInputError(run_name + ": more than 4294967294 lines for one query");
    const auto document_at = [&](std::uint32_t position) { return document_of(run.entries[entries[position]]); };

    // A repeated document keeps only its last line.
    table.reset(entries.size());
    ranking.clear();
    rank_of.assign(entries.size(), kAbsent);
    for (std::uint32_t k = 0; k < entries.size(); ++k) {
      std::uint32_t& slot = table.slot(document_at(k), document_at);
      if (slot != kAbsent) {
        evaluation.run_duplicates.note(run.line_of(entries[k]), run.line_of(entries[slot]), run.queries.name(q),
                                       document_at(k));
        rank_of[slot] = 0;  // marks the earlier line as replaced
      }
      slot = k;
    }
    for (std::uint32_t k = 0; k < entries.size(); ++k) {
      if (rank_of[k] == kAbsent) ranking.push_back(k);
    }

    const std::uint32_t qrels_query = qrels.queries.find(run.queries.name(q));
    if (qrels_query == QueryNames::npos || !judged[qrels_query]) {
      evaluation.without_judgments.push_back(q);
      continue;
    }
    if (strict && evaluation.run_duplicates.count > 0) continue;  // fails below; no need to score

    const auto before = [&](std::uint32_t a, std::uint32_t b) {
      return ranks_before(run.entries[entries[a]], run.entries[entries[b]]);
    };
    // Runs are usually written best first: check before sorting.
    if (!std::is_sorted(ranking.begin(), ranking.end(), before)) std::sort(ranking.begin(), ranking.end(), before);
    for (std::uint32_t rank = 0; rank < ranking.size(); ++rank) rank_of[ranking[rank]] = rank;

    relevant_ranks.clear();
    for (const Judgment& judgment : qrels.judged[qrels_query].judgments) {
      if (!judgment.relevant) continue;
      const std::uint32_t position = table.slot(judgment.document, document_at);
      relevant_ranks.push_back(position == kAbsent ? kAbsent : rank_of[position]);
    }
    in_run[qrels_query] = true;
    scored[qrels_query] = evaluator.score(qrels_query, ranking.size(), relevant_ranks);
  }

  const Duplicates& duplicates = evaluation.run_duplicates;
  if (strict && duplicates.count > 0) {
    throw TrecInputError(run_name + ":" + std::to_string(duplicates.line) + ": document '" + duplicates.document +
                         "' listed again for query '" + duplicates.query + "' (first on line " +
                         std::to_string(duplicates.first_line) + ")");
  }

  for (std::uint32_t q = 0; q < qrels_queries; ++q) {
    if (!judged[q]) continue;
    if (!in_run[q]) {
      // A query the run lacks is scored as an empty ranking: all zeros.
      relevant_ranks.clear();
      for (const Judgment& judgment : qrels.judged[q].judgments) {
        if (judgment.relevant) relevant_ranks.push_back(kAbsent);
      }
      scored[q] = evaluator.score(q, 0, relevant_ranks);
      evaluation.missing_from_run.push_back(q);
    }
    evaluation.queries.push_back(std::move(scored[q]));
  }
  return evaluation;
}

}  // namespace vextral::native
