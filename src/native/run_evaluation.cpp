#include "run_evaluation.hpp"

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <numeric>

namespace vextral::native {

namespace {

constexpr std::uint32_t kAbsent = 0xffffffffu;
// Queries between two calls of the monitor.
constexpr std::size_t kMonitorInterval = 64;

// One line of the query being scored.
struct Line {
  double score;
  std::string_view document;
  std::uint64_t number;
};

// Higher score first; equal scores by document identifier, descending bytes.
bool ranks_before(const Line& a, const Line& b) {
  if (a.score != b.score) return a.score > b.score;
  return a.document > b.document;
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

// The distinct documents of one query's lines (open addressing, at most half
// full), holding positions into those lines; reused from query to query.
class DocumentTable {
 public:
  void reset(std::size_t entries) {
    std::size_t size = 16;
    while (size < 2 * entries) size *= 2;
    slots_.assign(size, kAbsent);
    mask_ = size - 1;
  }

  // The slot holding `document`, or the empty slot where it belongs.
  std::uint32_t& slot(std::string_view document, const std::vector<Line>& lines) {
    std::size_t index = std::hash<std::string_view>{}(document) & mask_;
    while (slots_[index] != kAbsent && lines[slots_[index]].document != document) index = (index + 1) & mask_;
    return slots_[index];
  }

 private:
  std::vector<std::uint32_t> slots_;
  std::size_t mask_ = 0;
};

bool has_relevant(const QrelsQuery& query) {
  return std::any_of(query.judgments.begin(), query.judgments.end(),
                     [](const Judgment& judgment) { return judgment.relevant; });
}

}  // namespace

// What both ways of reading share: scores one query at a time from its
// lines, and collects the results in qrels order.
class QueryScorer {
 public:
  QueryScorer(const Qrels& qrels, const EvaluationSettings& settings)
      : qrels_(qrels),
        settings_(settings),
        judged_(qrels.queries.size()),
        in_run_(qrels.queries.size(), false),
        scored_(qrels.queries.size()) {
    for (std::size_t q = 0; q < judged_.size(); ++q) judged_[q] = has_relevant(qrels.judged[q]);
  }

  // One query of the run, `lines` in file order.
  void score_query(std::uint32_t run_query, std::string_view name, const std::vector<Line>& lines) {
    const auto start = std::chrono::steady_clock::now();
    score_lines(run_query, name, lines);
    evaluation_.seconds_scoring += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }

  RunEvaluation finish() {
    const auto start = std::chrono::steady_clock::now();
    add_missing_queries();
    evaluation_.seconds_scoring += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return std::move(evaluation_);
  }

 private:
  void score_lines(std::uint32_t run_query, std::string_view name, const std::vector<Line>& lines) {
    const EvaluationMonitor& monitor = settings_.monitor;
    if (monitor.between_queries != nullptr && ++since_monitor_ == kMonitorInterval) {
      since_monitor_ = 0;
      monitor.between_queries(monitor.context);
    }
    if (lines.size() >= kAbsent) throw TrecInputError(settings_.run_name + ": too many lines for one query");

    // A repeated document keeps only its last line.
    table_.reset(lines.size());
    replaced_.assign(lines.size(), false);
    for (std::uint32_t k = 0; k < lines.size(); ++k) {
      std::uint32_t& slot = table_.slot(lines[k].document, lines);
      if (slot != kAbsent) {
        evaluation_.run_duplicates.note(lines[k].number, lines[slot].number, name, lines[k].document);
        replaced_[slot] = true;
      }
      slot = k;
    }

    const std::uint32_t qrels_query = qrels_.queries.find(name);
    if (qrels_query == QueryNames::npos || !judged_[qrels_query]) {
      evaluation_.without_judgments.push_back(run_query);
      return;
    }
    if (settings_.strict && evaluation_.run_duplicates.count > 0) return;  // fails in finish()

    ranking_.clear();
    for (std::uint32_t k = 0; k < lines.size(); ++k) {
      if (!replaced_[k]) ranking_.push_back(k);
    }
    order_ranking(ranking_, [&](std::uint32_t a, std::uint32_t b) { return ranks_before(lines[a], lines[b]); });
    rank_of_.assign(lines.size(), kAbsent);
    for (std::uint32_t rank = 0; rank < ranking_.size(); ++rank) rank_of_[ranking_[rank]] = rank;

    relevant_ranks_.clear();
    for (const Judgment& judgment : qrels_.judged[qrels_query].judgments) {
      if (!judgment.relevant) continue;
      const std::uint32_t position = table_.slot(judgment.document, lines);
      relevant_ranks_.push_back(position == kAbsent ? kAbsent : rank_of_[position]);
    }
    scored_[qrels_query] = score(qrels_query, ranking_.size());
    in_run_[qrels_query] = true;
  }

  void add_missing_queries() {
    const Duplicates& duplicates = evaluation_.run_duplicates;
    if (settings_.strict && duplicates.count > 0) {
      throw TrecInputError(settings_.run_name + ":" + std::to_string(duplicates.line) + ": document '" +
                           duplicates.document + "' listed again for query '" + duplicates.query +
                           "' (first on line " + std::to_string(duplicates.first_line) + ")");
    }
    for (std::uint32_t q = 0; q < qrels_.queries.size(); ++q) {
      if (!judged_[q]) continue;
      if (!in_run_[q]) {
        // A query the run lacks is scored as an empty ranking: all zeros.
        relevant_ranks_.clear();
        for (const Judgment& judgment : qrels_.judged[q].judgments) {
          if (judgment.relevant) relevant_ranks_.push_back(kAbsent);
        }
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
  std::vector<bool> judged_;
  std::vector<bool> in_run_;
  std::vector<QueryEvaluation> scored_;  // indexed by qrels query
  RunEvaluation evaluation_;
  std::size_t since_monitor_ = 0;

  DocumentTable table_;
  std::vector<bool> replaced_;
  std::vector<std::uint32_t> ranking_;  // positions into the lines, best first
  std::vector<std::uint32_t> rank_of_;  // position into the lines -> rank
  std::vector<std::uint32_t> relevant_ranks_;
  std::vector<std::uint64_t> identifiers_;  // 0, 1, 2, ...
  std::vector<std::uint64_t> relevant_;
};

struct StreamingEvaluator::State {
  State(const Qrels& qrels, const QueryNames& run_queries, const EvaluationSettings& settings)
      : scorer(qrels, settings), names(run_queries) {}

  // Scores the query whose lines have just ended.
  void close_query() {
    lines.resize(offsets.size());
    for (std::size_t k = 0; k < offsets.size(); ++k) {
      lines[k] = Line{offsets[k].score, std::string_view(text).substr(offsets[k].offset, offsets[k].length),
                      offsets[k].number};
    }
    scorer.score_query(current, names.name(current), lines);
    if (current >= closed.size()) closed.resize(std::size_t{current} + 1, false);
    closed[current] = true;
    offsets.clear();
    text.clear();
  }

  struct Stored {
    double score;
    std::size_t offset;
    std::size_t length;
    std::uint64_t number;
  };

  QueryScorer scorer;
  std::uint32_t current = QueryNames::npos;
  std::vector<Stored> offsets;  // the current query's lines
  std::string text;             // and their document identifiers
  std::vector<Line> lines;
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
  s.offsets.push_back(State::Stored{score, s.text.size(), document.size(), line});
  s.text.append(document);
}

RunEvaluation StreamingEvaluator::finish() {
  State& s = *state_;
  if (s.current != QueryNames::npos) s.close_query();
  return s.scorer.finish();
}

RunEvaluation evaluate_stored_run(const RunStore& run, const QueryNames& run_queries, const Qrels& qrels,
                                  const EvaluationSettings& settings) {
  // Each query's entries in file order: a stable counting sort by query.
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
  std::vector<Line> lines;
  for (std::uint32_t q = 0; q < queries; ++q) {
    lines.clear();
    for (std::uint64_t i = starts[q]; i < starts[q + 1]; ++i) {
      const RunEntry& entry = run.entries[order[i]];
      lines.push_back(Line{entry.score, std::string_view(entry.document, entry.document_length),
                           run.line_of(order[i])});
    }
    scorer.score_query(q, run_queries.name(q), lines);
  }
  return scorer.finish();
}

}  // namespace vextral::native
