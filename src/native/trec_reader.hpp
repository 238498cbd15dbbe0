// Reading TREC run and qrels files from a byte stream given in chunks of any
// size, so that a file is never held whole in memory.
//
// A run line is "qid Q0 docid rank score tag", a qrels line "qid iteration
// docid relevance". Fields are separated by ASCII whitespace (space, tab,
// carriage return, vertical tab, form feed and the separators 0x1c-0x1f);
// lines end at a line feed; blank lines are skipped. A line holding a byte
// above 0x7f must be well-formed UTF-8; no line may be longer than
// kMaxLineBytes. Every malformed line ends the read with a TrecInputError
// whose message is the whole one-line report "{name}:{line}: {what is wrong}".
//
// What is kept grows with what the files hold, never with their raw size:
// a pair listed again replaces the earlier one where it is stored, and a
// line is held only until it has been read.
//
// Plain C++: nothing here touches the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "text_index.hpp"

namespace vextral::native {

// The longest line read: a longer one is a format error, so that a line
// (a compressed file can hold one of gigabytes in a few kilobytes) never
// takes more memory than this.
inline constexpr std::size_t kMaxLineBytes = std::size_t{1} << 20;

class TrecInputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Stable storage for the bytes of identifiers: what it hands out stays
// where it is until clear() or the store's end.
class TextStore {
 public:
  std::string_view store(std::string_view text);
  // Forgets everything stored; keeps one block for what comes next.
  void clear() noexcept;

 private:
  static constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
  std::vector<std::unique_ptr<char[]>> filled_;  // and long identifiers' own blocks
  std::unique_ptr<char[]> open_;
  std::size_t used_ = 0;
};

// Query identifiers in order of first appearance, each with a small index.
class QueryNames {
 public:
  // The index of `name`, adding it if it is new.
  std::uint32_t intern(std::string_view name);
  // The index of `name`, or npos.
  std::uint32_t find(std::string_view name) const;
  std::string_view name(std::uint32_t index) const { return names_[index]; }
  std::size_t size() const noexcept { return names_.size(); }

  static constexpr std::uint32_t npos = TextIndex::npos;

 private:
  TextStore text_;
  std::vector<std::string_view> names_;
  TextIndex indices_;
  // Runs list a query's documents together: one comparison usually finds it.
  std::uint32_t last_ = npos;
};

// Receives the result lines of a run as they are read.
class RunSink {
 public:
  virtual ~RunSink() = default;
  // `query` indexes the reader's query names; `document` is valid only
  // during the call; `line` is the line number in the file.
  virtual void entry(std::uint32_t query, double score, std::string_view document, std::uint64_t line) = 0;
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
  T& operator[](std::size_t i) { return blocks_[i >> kBlockShift][i & (kBlockSize - 1)]; }
  const T& operator[](std::size_t i) const { return blocks_[i >> kBlockShift][i & (kBlockSize - 1)]; }
  std::size_t size() const noexcept { return size_; }

 private:
  std::vector<std::unique_ptr<T[]>> blocks_;
  std::size_t size_ = 0;
};

// A key for one (query, document) pair: the query's index in four bytes,
// then the document identifier, so that one index serves every query.
class PairKey {
 public:
  std::string_view compose(std::uint32_t query, std::string_view document);
  static std::string_view document(std::string_view key) { return key.substr(4); }

 private:
  std::string buffer_;
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
  // What a strict reading of `file` reports for the first repeated line:
  // "{file}:{line}: document '...' {repeated} for query '...' (first on line N)".
  TrecInputError error(const std::string& file, std::string_view repeated) const;
};

// A whole run in memory, for files that do not list each query's lines
// together: one entry per (query, document) pair, which a later line for
// the same pair updates in place.
class RunStore : public RunSink {
 public:
  struct Entry {
    double score;         // of the pair's last line
    const char* key;      // a PairKey
    std::uint64_t line;   // the pair's last line
    std::uint32_t key_length;  // below kMaxLineBytes
    std::uint32_t query;

    std::string_view pair_key() const { return {key, key_length}; }
  };

  explicit RunStore(const QueryNames& queries) : queries_(queries) {}
  void entry(std::uint32_t query, double score, std::string_view document, std::uint64_t line) override;
  // The entry of a PairKey, or TextIndex::npos.
  std::uint32_t find(std::string_view key) const {
    return index_.find(key, [this](std::uint32_t index) { return entries[index].pair_key(); });
  }

  BlockList<Entry> entries;  // in order of first appearance
  std::size_t query_count = 0;  // one more than the largest query index
  Duplicates duplicates;

 private:
  const QueryNames& queries_;
  TextStore keys_;
  TextIndex index_;
  PairKey key_;
};

// Checks every line and keeps nothing.
class DiscardingSink : public RunSink {
 public:
  void entry(std::uint32_t, double, std::string_view, std::uint64_t) override {}
};

struct Qrels {
  QueryNames queries;
  // The documents judged relevant, query after query in index order, each
  // query's in the order the qrels first list them (a later line for the
  // same pair decides its relevance, not its place).
  std::vector<std::string_view> relevant;
  std::vector<std::size_t> starts;  // of each query's documents in `relevant`, and the end
  TextStore text;                   // holds the documents' bytes

  std::span<const std::string_view> relevant_to(std::uint32_t query) const {
    return std::span<const std::string_view>(relevant).subspan(starts[query], starts[query + 1] - starts[query]);
  }
};

// Cuts a chunked byte stream into lines, numbering them from 1. A line may
// span chunks; only its unfinished tail is kept between chunks, and no line
// may exceed kMaxLineBytes.
class LineSplitter {
 public:
  explicit LineSplitter(const std::string& name) : name_(name) {}

  template <class OnLine>
  void feed(std::string_view chunk, OnLine&& on_line) {
    std::size_t start = 0;
    while (start < chunk.size()) {
      const void* found = std::memchr(chunk.data() + start, '\n', chunk.size() - start);
      if (found == nullptr) {
        if (chunk.size() - start > kMaxLineBytes - partial_.size()) too_long();
        partial_.append(chunk.substr(start));
        return;
      }
      const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(found) - chunk.data());
      if (end - start > kMaxLineBytes - partial_.size()) too_long();
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
  [[noreturn]] void too_long() const;

  const std::string& name_;
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
  LineSplitter splitter_{name_};
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
  struct Judgment {
    std::string_view key;     // a PairKey
    std::uint64_t first_line;
    std::uint32_t query;
    bool relevant;            // as the pair's last line says
  };

  void line(std::string_view text, std::uint64_t number);

  std::string name_;
  LineSplitter splitter_{name_};
  QueryNames queries_;
  BlockList<Judgment> judgments_;  // in order of first appearance
  TextStore keys_;
  TextIndex index_;
  PairKey key_;
  Duplicates duplicates_;
};

}  // namespace vextral::native
