// A hash index from text keys to small numbers, for the tables of the TREC
// reader: query names, judged documents, the documents of one ranking.
//
// The keys are stored by the caller, who numbers them 0, 1, 2, ... and
// hands `key_of` (number -> key) to each call; the index holds only numbers
// (with a few bits of their hash), so it costs 16 to 32 bytes a key.
//
// Keys come from files anyone can write, so they may be chosen to collide.
// As metrics::IdentifierSet does for integers, two things keep n insertions
// and lookups at O(n log n) key comparisons whatever the keys:
//  - the hash is seeded per index from values no file can see (addresses of
//    this call's memory and a clock), so collisions cannot be prepared;
//  - no probe walks more than kMaxProbes slots: a walk that grows that long
//    anyway moves every key into an ordered tree, which answers from then
//    on. With random slots such a walk at half load is astronomically rare.
//
// Plain C++: nothing here touches the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string_view>
#include <vector>

namespace vextral::native {

// A 64-bit hash of `text` that depends on `seed` from its first step on.
std::uint64_t text_hash(std::string_view text, std::uint64_t seed) noexcept;

// A seed that differs from call to call and that no input can see.
std::uint64_t fresh_seed() noexcept;

class TextIndex {
 public:
  static constexpr std::uint32_t npos = 0xffffffffu;
  // Longest probe walk before the index turns to its ordered tree.
  static constexpr std::size_t kMaxProbes = 64;

  explicit TextIndex(std::uint64_t seed = fresh_seed()) : seed_(seed) {}

  // The number whose key is `key`, or npos.
  template <class KeyOf>
  std::uint32_t find(std::string_view key, const KeyOf& key_of) const {
    if (ordered_) return find_ordered(key);
    if (slots_.empty()) return npos;
    const std::size_t at = walk(key, text_hash(key, seed_), key_of);
    if (at != kWalkTooLong) return slots_[at].number == kEmpty ? npos : slots_[at].number - 1;
    turn_ordered(slots_, key_of);
    return find_ordered(key);
  }

  // The number whose key is `key` if there is one. Otherwise calls add()
  // (which must make key_of(number) a lasting copy of `key`), records
  // `number` (below npos) for the key and returns npos.
  template <class KeyOf, class Add>
  std::uint32_t find_or_add(std::string_view key, std::uint32_t number, const KeyOf& key_of, Add&& add) {
    if (!ordered_ && 2 * (size_ + 1) > slots_.size()) grow(key_of);
    if (!ordered_) {
      const std::uint64_t hash = text_hash(key, seed_);
      const std::size_t at = walk(key, hash, key_of);
      if (at != kWalkTooLong) {
        Slot& slot = slots_[at];
        if (slot.number != kEmpty) return slot.number - 1;
        add();
        slot = Slot{number + 1, tag_of(hash)};
        ++size_;
        return npos;
      }
      turn_ordered(slots_, key_of);
    }
    const auto after = tree_.lower_bound(key);
    if (after != tree_.end() && after->first == key) return after->second;
    add();
    tree_.emplace_hint(after, key_of(number), number);
    ++size_;
    return npos;
  }

  // Forgets every key; keeps the table's memory when it suits a similar
  // number of keys.
  void clear();

  std::size_t size() const noexcept { return size_; }
  // Whether the ordered tree answers (a probe walk grew too long).
  bool ordered() const noexcept { return ordered_; }

 private:
  static constexpr std::uint32_t kEmpty = 0;
  static constexpr std::size_t kMinimumSlots = 16;

  struct Slot {
    std::uint32_t number;  // the key's number + 1; kEmpty when free
    std::uint32_t tag;     // the high half of the key's hash
  };

  static constexpr std::size_t kWalkTooLong = ~std::size_t{0};

  static std::uint32_t tag_of(std::uint64_t hash) noexcept { return static_cast<std::uint32_t>(hash >> 32); }

  // A key's first slot: the top bits of its hash, so that up to 2^32 slots
  // the tag alone tells it and growing never reads the keys again.
  std::size_t home(std::uint64_t hash) const noexcept { return static_cast<std::size_t>(hash >> shift_); }

  // The slot holding `key` (whose hash is `hash`) or, where it is absent,
  // the empty slot that ends its probe walk; kWalkTooLong when the walk
  // passes kMaxProbes slots.
  template <class KeyOf>
  std::size_t walk(std::string_view key, std::uint64_t hash, const KeyOf& key_of) const {
    const std::uint32_t tag = tag_of(hash);
    std::size_t index = home(hash);
    for (std::size_t probes = 0; probes < kMaxProbes; ++probes) {
      const Slot slot = slots_[index];
      if (slot.number == kEmpty || (slot.tag == tag && key_of(slot.number - 1) == key)) return index;
      index = (index + 1) & mask_;
    }
    return kWalkTooLong;
  }

  template <class KeyOf>
  void grow(const KeyOf& key_of) {
    std::vector<Slot> old = std::move(slots_);
    allocate(old.empty() ? kMinimumSlots : 2 * old.size());
    for (const Slot slot : old) {
      if (slot.number == kEmpty) continue;
      const std::uint64_t hash = shift_ >= 32 ? std::uint64_t{slot.tag} << 32
                                              : text_hash(key_of(slot.number - 1), seed_);
      std::size_t index = home(hash);
      for (std::size_t probes = 0; slots_[index].number != kEmpty; ++probes) {
        if (probes == kMaxProbes) return turn_ordered(old, key_of);
        index = (index + 1) & mask_;
      }
      slots_[index] = slot;
    }
  }

  // Built at most once, also by a lookup, hence const.
  template <class KeyOf>
  void turn_ordered(const std::vector<Slot>& slots, const KeyOf& key_of) const {
    for (const Slot slot : slots) {
      if (slot.number != kEmpty) tree_.emplace(key_of(slot.number - 1), slot.number - 1);
    }
    std::vector<Slot>().swap(slots_);
    mask_ = 0;
    ordered_ = true;
  }

  void allocate(std::size_t slots);
  std::uint32_t find_ordered(std::string_view key) const;

  // Mutable: a lookup whose walk grows too long turns the index ordered.
  mutable std::vector<Slot> slots_;
  mutable std::size_t mask_ = 0;
  unsigned shift_ = 64;  // 64 - log2(slots)
  std::size_t size_ = 0;
  std::uint64_t seed_;
  mutable bool ordered_ = false;
  mutable std::map<std::string_view, std::uint32_t> tree_;
};

}  // namespace vextral::native
