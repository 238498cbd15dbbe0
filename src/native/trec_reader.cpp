#include "trec_reader.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>

namespace vextral::native {

namespace {

constexpr std::string_view kRunLayout = "qid Q0 docid rank score tag";
constexpr std::string_view kQrelsLayout = "qid iteration docid relevance";

// The separators Python's str.split() treats as whitespace within ASCII.
constexpr std::array<bool, 256> kSeparator = [] {
  std::array<bool, 256> table{};
  for (char c : {' ', '\t', '\n', '\r', '\v', '\f', '\x1c', '\x1d', '\x1e', '\x1f'}) table[static_cast<unsigned char>(c)] = true;
  return table;
}();

bool is_separator(char c) { return kSeparator[static_cast<unsigned char>(c)]; }

// A field of a line. Plain data, so that an array of them costs nothing to
// set up for each line (an array of string_view is zeroed first).
struct Field {
  const char* data;
  std::size_t length;
  operator std::string_view() const { return {data, length}; }
};

constexpr std::uint64_t kEveryByte = 0x0101010101010101ULL;

// 0x80 in each byte of `word` that is at most `limit` (below 0x80), exactly:
// no carry crosses from one byte into the next.
constexpr std::uint64_t bytes_at_most(std::uint64_t word, unsigned limit) {
  return ~(((word & (kEveryByte * 0x7f)) + kEveryByte * (0x7f - limit)) | word) & (kEveryByte * 0x80);
}

// The bytes at most 0x20: every separator is one.
constexpr std::uint64_t low_bytes(std::uint64_t word) { return bytes_at_most(word, 0x20); }

// Whether every byte flagged in `low` (of the word at text + i) is a separator.
bool all_separators(const char* text, std::size_t i, std::uint64_t word, std::uint64_t low) {
  // Nearly always they are all spaces.
  if (bytes_at_most(word ^ (kEveryByte * 0x20), 0) == low) return true;
  for (std::uint64_t left = low; left != 0; left &= left - 1) {
    if (!is_separator(text[i + static_cast<std::size_t>(std::countr_zero(left)) / 8])) return false;
  }
  return true;
}

// The 0x80 bits of the eight bytes of `flags`, gathered into one bit per
// byte (byte j -> bit j).
std::uint64_t gather_bytes(std::uint64_t flags) { return ((flags >> 7) * 0x0102040810204080ULL) >> 56; }

// Any line: one byte at a time.
std::size_t split_bytewise(std::string_view line, Field* fields, std::size_t capacity, bool* high_byte) {
  const char* text = line.data();
  const std::size_t n = line.size();
  std::size_t count = 0, start = 0;
  bool in_field = false;
  unsigned seen = 0;
  for (std::size_t i = 0; i <= n; ++i) {
    const bool separator = i == n || is_separator(text[i]);
    if (i < n) seen |= static_cast<unsigned char>(text[i]);
    if (separator == in_field) {
      if (in_field) {
        if (count < capacity) fields[count] = Field{text + start, i - start};
        ++count;
      } else {
        start = i;
      }
      in_field = !in_field;
    }
  }
  *high_byte = (seen & 0x80) != 0;
  return count;
}

// Splits `line` at whitespace into at most `capacity` fields and returns the
// total number of fields (which may exceed the capacity); *high_byte tells
// whether the line holds a byte above 0x7f.
//
// Lines of up to 64 bytes (nearly all run and qrels lines) are split from a
// bitmap with one bit per byte, built eight bytes at a time: field starts
// and ends are its rising and falling edges.
std::size_t split_fields(std::string_view line, Field* fields, std::size_t capacity, bool* high_byte) {
  const char* text = line.data();
  const std::size_t n = line.size();
  if constexpr (std::endian::native == std::endian::little) {
    if (n <= 64) {
      std::uint64_t in_field = 0, seen = 0;
      for (std::size_t i = 0; i < n; i += 8) {
        const std::size_t length = std::min<std::size_t>(8, n - i);
        // Bytes past the end read as 0, a low byte outside any field. The
        // last, partial word is read as the line's last eight bytes, shifted.
        std::uint64_t word = 0;
        if (length == 8) {
          std::memcpy(&word, text + i, 8);
        } else if (n >= 8) {
          std::memcpy(&word, text + n - 8, 8);
          word >>= 8 * (8 - length);
        } else {
          for (std::size_t k = 0; k < length; ++k) word |= std::uint64_t{static_cast<unsigned char>(text[k])} << (8 * k);
        }
        const std::uint64_t valid = length == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * length)) - 1;
        const std::uint64_t low = low_bytes(word);
        // A control byte that is not a separator belongs to a field: rare,
        // and left to the byte loop.
        if ((low & valid) != 0 && !all_separators(text, i, word, low & valid)) {
          return split_bytewise(line, fields, capacity, high_byte);
        }
        seen |= word;
        in_field |= gather_bytes(~low & (kEveryByte * 0x80)) << i;
      }
      *high_byte = (seen & (kEveryByte * 0x80)) != 0;
      std::uint64_t starts = in_field & ~(in_field << 1);
      std::uint64_t ends = in_field & ~(in_field >> 1);  // the last byte of each field
      std::size_t count = 0;
      for (; starts != 0; ++count) {
        const int first = std::countr_zero(starts), last = std::countr_zero(ends);
        if (count < capacity) fields[count] = Field{text + first, static_cast<std::size_t>(last - first + 1)};
        starts &= starts - 1;
        ends &= ends - 1;
      }
      return count;
    }
  }
  return split_bytewise(line, fields, capacity, high_byte);
}

// Strict UTF-8 as Python's decoder takes it: no overlong forms, no
// surrogates, nothing above U+10FFFF.
bool is_utf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char lead = bytes[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    unsigned char low = 0x80, high = 0xbf;  // range of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
      length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
      length = 3;
      if (lead == 0xe0) low = 0xa0;
      if (lead == 0xed) high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
      length = 4;
      if (lead == 0xf0) low = 0x90;
      if (lead == 0xf4) high = 0x8f;
    } else {
      return false;
    }
    if (n - i < length) return false;
    if (bytes[i + 1] < low || bytes[i + 1] > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if (bytes[i + k] < 0x80 || bytes[i + k] > 0xbf) return false;
    }
    i += length;
  }
  return true;
}

// The field as it would appear in a Python repr: 'text'.
std::string quoted(std::string_view field) {
  const bool has_single = field.find('\'') != std::string_view::npos;
  const bool has_double = field.find('"') != std::string_view::npos;
  const char quote = has_single && !has_double ? '"' : '\'';
  std::string out(1, quote);
  for (char c : field) {
    if (c == quote || c == '\\') out += '\\';
    out += c;
  }
  out += quote;
  return out;
}

[[noreturn]] void fail(const std::string& name, std::uint64_t line, std::string_view what) {
  throw TrecInputError(name + ":" + std::to_string(line) + ": " + std::string(what));
}

// An optional sign and decimal digits; *positive says whether the value is
// greater than 0. Any number of digits is accepted, as Python's int() does.
bool parse_integer(std::string_view text, bool* positive) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return false;
  bool nonzero = false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    nonzero = nonzero || c != '0';
  }
  if (positive != nullptr) *positive = nonzero && !negative;
  return true;
}

// Plain decimals such as "12.345678" with at most 15 significant digits:
// the digits and the power of ten are both exact doubles, so their quotient
// is the correctly rounded value, the same as a full conversion gives. Other
// forms return false and take the general path.
bool parse_plain_decimal(std::string_view text, double* value) {
  static constexpr double kPowers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  const char* p = text.data();
  const char* const end = p + text.size();
  const bool negative = p != end && *p == '-';
  if (negative) ++p;
  // Wraps harmlessly past 19 digits: more than 15 are refused below.
  std::uint64_t mantissa = 0;
  const char* const whole = p;
  for (; p != end && static_cast<unsigned char>(*p - '0') <= 9; ++p) mantissa = mantissa * 10 + static_cast<std::uint64_t>(*p - '0');
  std::ptrdiff_t digits = p - whole, fraction = 0;
  if (p != end && *p == '.') {
    const char* const decimals = ++p;
    for (; p != end && static_cast<unsigned char>(*p - '0') <= 9; ++p) mantissa = mantissa * 10 + static_cast<std::uint64_t>(*p - '0');
    fraction = p - decimals;
    digits += fraction;
  }
  if (p != end || digits == 0 || digits > 15) return false;
  const double magnitude = static_cast<double>(mantissa) / kPowers[fraction];
  *value = negative ? -magnitude : magnitude;
  return true;
}

// A decimal or "inf"/"infinity" with an optional sign, nearest double; NaN
// is refused, since a ranking cannot order it.
bool parse_score(std::string_view text, double* value) {
  if (parse_plain_decimal(text, value)) return true;
  if (text.size() > 1 && text[0] == '+' && text[1] != '-' && text[1] != '+') text.remove_prefix(1);
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, *value, std::chars_format::general);
  if (stop != end) return false;
  if (error == std::errc::result_out_of_range) {
    // from_chars leaves the value untouched out of range; Python's float()
    // gives infinity for overflow and (signed) zero for underflow.
    const std::string copy(text);
    *value = std::strtod(copy.c_str(), nullptr);
  } else if (error != std::errc()) {
    return false;
  }
  return !std::isnan(*value);
}

void check_text(const std::string& name, std::uint64_t number, std::string_view line, bool high_byte) {
  if (high_byte && !is_utf8(line)) fail(name, number, "not UTF-8 text");
}

// A line with the other file's number of fields hints that the two were
// swapped: the first line of a qrels given as the run has 4.
[[noreturn]] void wrong_field_count(const std::string& name, std::uint64_t number, std::size_t expected,
                                    std::string_view layout, std::size_t found, std::size_t other_file,
                                    std::string_view other_kind) {
  std::string what = "expected " + std::to_string(expected) + " fields \"" + std::string(layout) + "\", found " +
                     std::to_string(found);
  if (found == other_file) {
    what += " (as " + std::string(other_kind) + " line has: are the run and the qrels swapped?)";
  }
  fail(name, number, what);
}

}  // namespace

std::string_view TextStore::store(std::string_view text) {
  if (text.size() > kBlockBytes / 16) {
    // A long identifier gets a block of its own; the open block stays open.
    auto block = std::make_unique<char[]>(text.size());
    std::memcpy(block.get(), text.data(), text.size());
    filled_.push_back(std::move(block));
    return std::string_view(filled_.back().get(), text.size());
  }
  if (!open_ || kBlockBytes - used_ < text.size()) {
    if (open_) filled_.push_back(std::move(open_));
    open_ = std::make_unique<char[]>(kBlockBytes);
    used_ = 0;
  }
  char* stored = open_.get() + used_;
  std::memcpy(stored, text.data(), text.size());
  used_ += text.size();
  return std::string_view(stored, text.size());
}

void TextStore::clear() noexcept {
  filled_.clear();
  used_ = 0;
}

std::uint32_t QueryNames::intern(std::string_view name) {
  if (last_ != npos && names_[last_] == name) return last_;
  if (names_.size() >= npos) throw TrecInputError("more than 4294967294 queries");
  const auto next = static_cast<std::uint32_t>(names_.size());
  const std::uint32_t found = indices_.find_or_add(
      name, next, [this](std::uint32_t index) { return names_[index]; },
      [&] { names_.push_back(text_.store(name)); });
  return last_ = found == TextIndex::npos ? next : found;
}

std::uint32_t QueryNames::find(std::string_view name) const {
  return indices_.find(name, [this](std::uint32_t index) { return names_[index]; });
}

std::string_view PairKey::compose(std::uint32_t query, std::string_view document) {
  buffer_.resize(4 + document.size());
  for (std::size_t k = 0; k < 4; ++k) buffer_[k] = static_cast<char>((query >> (8 * k)) & 0xffu);
  std::memcpy(buffer_.data() + 4, document.data(), document.size());
  return buffer_;
}

void RunStore::entry(std::uint32_t query, double score, std::string_view document, std::uint64_t line) {
  const std::string_view key = key_.compose(query, document);
  if (entries.size() >= TextIndex::npos) throw TrecInputError("more than 4294967294 (query, document) pairs");
  const auto next = static_cast<std::uint32_t>(entries.size());
  const std::uint32_t found = index_.find_or_add(
      key, next, [this](std::uint32_t index) { return entries[index].pair_key(); },
      [&] {
        entries.push_back(Entry{score, keys_.store(key).data(), line, static_cast<std::uint32_t>(key.size()), query});
      });
  if (found != TextIndex::npos) {
    Entry& earlier = entries[found];
    duplicates.note(line, earlier.line, queries_.name(query), document);
    earlier.score = score;
    earlier.line = line;
  }
  if (query >= query_count) query_count = std::size_t{query} + 1;
}

void LineSplitter::too_long() const {
  fail(name_, line_ + 1, "line longer than " + std::to_string(kMaxLineBytes) + " bytes (1 MiB)");
}

void Duplicates::note(std::uint64_t at, std::uint64_t first_at, std::string_view query_name,
                      std::string_view document_name) {
  if (count++ == 0 || at < line) {
    line = at;
    first_line = first_at;
    query = query_name;
    document = document_name;
  }
}

TrecInputError Duplicates::error(const std::string& file, std::string_view repeated) const {
  return TrecInputError(file + ":" + std::to_string(line) + ": document '" + document + "' " + std::string(repeated) +
                        " for query '" + query + "' (first on line " + std::to_string(first_line) + ")");
}

void RunReader::feed(std::string_view chunk) {
  splitter_.feed(chunk, [this](std::string_view text, std::uint64_t number) { line(text, number); });
}

void RunReader::line(std::string_view text, std::uint64_t number) {
  Field fields[6];
  bool high_byte;
  const std::size_t count = split_fields(text, fields, 6, &high_byte);
  if (count == 0) return;
  check_text(name_, number, text, high_byte);
  if (count != 6) wrong_field_count(name_, number, 6, kRunLayout, count, 4, "a qrels");
  if (!parse_integer(fields[3], nullptr)) fail(name_, number, "rank " + quoted(fields[3]) + " is not an integer");
  double score;
  if (!parse_score(fields[4], &score)) fail(name_, number, "score " + quoted(fields[4]) + " is not a number");
  ++entries_;
  sink_.entry(queries_.intern(fields[0]), score, fields[2], number);
}

void RunReader::finish() {
  splitter_.finish([this](std::string_view text, std::uint64_t number) { line(text, number); });
  if (entries_ == 0) throw TrecInputError(name_ + ": no results found");
}

void QrelsReader::feed(std::string_view chunk) {
  splitter_.feed(chunk, [this](std::string_view text, std::uint64_t number) { line(text, number); });
}

void QrelsReader::line(std::string_view text, std::uint64_t number) {
  Field fields[4];
  bool high_byte;
  const std::size_t count = split_fields(text, fields, 4, &high_byte);
  if (count == 0) return;
  check_text(name_, number, text, high_byte);
  if (count != 4) wrong_field_count(name_, number, 4, kQrelsLayout, count, 6, "a run");
  bool relevant = false;
  if (!parse_integer(fields[3], &relevant)) {
    fail(name_, number, "relevance " + quoted(fields[3]) + " is not an integer");
  }
  const std::uint32_t query = queries_.intern(fields[0]);
  const std::string_view key = key_.compose(query, fields[2]);
  if (judgments_.size() >= TextIndex::npos) throw TrecInputError(name_ + ": more than 4294967294 judgments");
  const auto next = static_cast<std::uint32_t>(judgments_.size());
  const std::uint32_t found = index_.find_or_add(
      key, next, [this](std::uint32_t index) { return judgments_[index].key; },
      [&] { judgments_.push_back(Judgment{keys_.store(key), number, query, relevant}); });
  if (found != TextIndex::npos) {
    judgments_[found].relevant = relevant;
    duplicates_.note(number, judgments_[found].first_line, fields[0], fields[2]);
  }
}

Qrels QrelsReader::finish() {
  splitter_.finish([this](std::string_view text, std::uint64_t number) { line(text, number); });
  // Each query's relevant documents together, in order of first appearance:
  // a stable counting sort by query.
  Qrels qrels;
  const std::size_t queries = queries_.size();
  qrels.starts.assign(queries + 1, 0);
  for (std::size_t i = 0; i < judgments_.size(); ++i) {
    if (judgments_[i].relevant) ++qrels.starts[judgments_[i].query + 1];
  }
  for (std::size_t q = 0; q < queries; ++q) qrels.starts[q + 1] += qrels.starts[q];
  if (qrels.starts[queries] == 0) throw TrecInputError(name_ + ": no relevant documents (relevance > 0) found");
  qrels.relevant.resize(qrels.starts[queries]);
  std::vector<std::size_t> next(qrels.starts.begin(), qrels.starts.end() - 1);
  for (std::size_t i = 0; i < judgments_.size(); ++i) {
    const Judgment& judgment = judgments_[i];
    if (judgment.relevant) qrels.relevant[next[judgment.query]++] = PairKey::document(judgment.key);
  }
  qrels.queries = std::move(queries_);
  qrels.text = std::move(keys_);
  return qrels;
}

}  // namespace vextral::native
