// Reading TREC run and qrels files from a byte stream given in chunks of any
// size, so that a file is never held whole in memory.
//
// A run line is "qid Q0 docid rank score tag", a qrels line "qid iteration
// docid relevance". Fields are separated by ASCII whitespace (space, tab,
// carriage return, vertical tab, form feed and the separators 0x1c-0x1f);
// lines end at a line feed; blank lines are skipped. A line holding a byte
// above 0x7f must be well-formed UTF-8. Every malformed line ends the read
// with a TrecInputError whose message is the whole one-line report
// "{name}:{line}: {what is wrong}".
//
// Plain C++: nothing here touches the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vextral::native {

class TrecInputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Query identifiers in order of first appearance, each with a small index.
class QueryNames {
 public:
  // The index of `name`, adding it if it is new.
  std::uint32_t intern(std::string_view name);
  // The index of `name`, or npos.
  std::uint32_t find(std::string_view name) const;
  const std::string& name(std::uint32_t index) const { return names_[index]; }
  std::size_t size() const noexcept { return names_.size(); }

  static constexpr std::uint32_t npos = 0xffffffffu;

 private:
  // A deque never moves its strings, so the map's views stay valid.
  std::deque<std::string> names_;
  std::unordered_map<std::string_view, std::uint32_t> indices_;
  // Runs list a query's documents together: one comparison usually finds it.
  std::uint32_t last_ = npos;
  std::string_view last_name_;
};

// Receives the result lines of a run as they are read.
class RunSink {
 public:
  virtual ~RunSink() = default;
  // `query` indexes the reader's query names; `document` is valid only
  // during the call; `line` is the line number in the file.
  virtual void entry(std::uint32_t query, double score, std::string_view document, std::uint64_t line) = 0;
};

// One line of a run held in memory; its document identifier lives in the
// store's text blocks.
struct RunEntry {
  double score;
  const char* document;
  std::uint32_t document_length;
  std::uint32_t query;
};

// Fixed-size blocks, so that growing never copies what is already stored
// (a doubling vector would hold the old and the new copy at once).
template <class T>
class BlockList {
 public:
  static constexpr std::size_t kBlockShift = 16;
  static constexpr std::size_t kBlockSize = std::size_t{1} << kBlockShift;

  void push_back(const T& value) {
    if ((size_ & (kBlockSize - 1)) == 0) blocks_.push_back(std::make_unique<T[]>(kBlockSize));
    blocks_.back()[size_ & (kBlockSize - 1)] = value;
    ++size_;
  }
  const T& operator[](std::size_t i) const { return blocks_[i >> kBlockShift][i & (kBlockSize - 1)]; }
  std::size_t size() const noexcept { return size_; }

 private:
  std::vector<std::unique_ptr<T[]>> blocks_;
  std::size_t size_ = 0;
};

// Stable storage for the bytes of document identifiers.
class TextStore {
 public:
  const char* store(std::string_view text);

 private:
  static constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t used_ = kBlockBytes;  // no block yet: the first store opens one
};

// A whole run in memory, for files that do not list each query's lines
// together.
class RunStore : public RunSink {
 public:
  void entry(std::uint32_t query, double score, std::string_view document, std::uint64_t line) override;

  std::uint64_t line_of(std::uint64_t entry) const;

  BlockList<RunEntry> entries;  // in the order of the file
  std::size_t query_count = 0;  // one more than the largest query index

 private:
  TextStore documents_;
  // Line numbers are entry positions plus the lines skipped before them
  // (blank ones): for each skipped stretch, the entry after it and the
  // lines skipped so far.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> offsets_;
};

// Checks every line and keeps nothing.
class DiscardingSink : public RunSink {
 public:
  void entry(std::uint32_t, double, std::string_view, std::uint64_t) override {}
};

struct Judgment {
  std::string document;
  bool relevant;
};

struct QrelsQuery {
  // In order of first appearance; a later line for the same document
  // replaces the relevance of the earlier one.
  std::vector<Judgment> judgments;
  std::unordered_map<std::string, std::uint32_t> positions;
};

struct Qrels {
  QueryNames queries;
  std::vector<QrelsQuery> judged;  // indexed like `queries`
};

// A line repeating the (query, document) pair of an earlier line.
struct Duplicates {
  std::uint64_t count = 0;
  // The first repeated line and the line it repeats (0 when count is 0).
  std::uint64_t line = 0;
  std::uint64_t first_line = 0;
  std::string query;
  std::string document;

  void note(std::uint64_t at, std::uint64_t first_at, std::string_view query_name, std::string_view document_name);
};

// Cuts a chunked byte stream into lines, numbering them from 1. A line may
// span chunks; only its unfinished tail is kept between chunks.
class LineSplitter {
 public:
  template <class OnLine>
  void feed(std::string_view chunk, OnLine&& on_line) {
    std::size_t start = 0;
    while (start < chunk.size()) {
      const void* found = std::memchr(chunk.data() + start, '\n', chunk.size() - start);
      if (found == nullptr) {
        partial_.append(chunk.substr(start));
        return;
      }
      const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(found) - chunk.data());
      ++line_;
      if (partial_.empty()) {
        on_line(chunk.substr(start, end - start), line_);
      } else {
        partial_.append(chunk.substr(start, end - start));
        on_line(std::string_view(partial_), line_);
        partial_.clear();
      }
      start = end + 1;
    }
  }

  // The last line, if the stream does not end with a line feed.
  template <class OnLine>
  void finish(OnLine&& on_line) {
    if (partial_.empty()) return;
    ++line_;
    on_line(std::string_view(partial_), line_);
    partial_.clear();
  }

 private:
  std::string partial_;
  std::uint64_t line_ = 0;
};

class RunReader {
 public:
  // Query identifiers are added to `queries` in order of first appearance.
  RunReader(std::string name, QueryNames& queries, RunSink& sink)
      : name_(std::move(name)), queries_(queries), sink_(sink) {}
  void feed(std::string_view chunk);
  // Ends the stream; fails on a run without any result line.
  void finish();

 private:
  void line(std::string_view text, std::uint64_t number);

  std::string name_;
  QueryNames& queries_;
  RunSink& sink_;
  LineSplitter splitter_;
  std::uint64_t entries_ = 0;
};

class QrelsReader {
 public:
  explicit QrelsReader(std::string name) : name_(std::move(name)) {}
  void feed(std::string_view chunk);
  // Ends the stream; fails when no judgment is relevant.
  Qrels finish();
  const Duplicates& duplicates() const noexcept { return duplicates_; }

 private:
  void line(std::string_view text, std::uint64_t number);

  std::string name_;
  LineSplitter splitter_;
  Qrels qrels_;
  Duplicates duplicates_;
  std::vector<std::vector<std::uint64_t>> first_lines_;  // per query, per judgment
};

}  // namespace vextral::native
