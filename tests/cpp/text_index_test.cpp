#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>

#include "text_index.hpp"

using vextral::native::text_hash;
using vextral::native::TextIndex;

namespace {

constexpr std::uint64_t kSeed = 0x5eed;

std::string numbered(std::string_view prefix, std::uint64_t number) {
  char digits[24];
  const int length = std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(number));
  std::string text(prefix);
  text.append(digits, static_cast<std::size_t>(length));
  return text;
}

// Keys numbered in insertion order, stored where they never move.
struct Keys {
  std::deque<std::string> texts;
  std::string_view operator()(std::uint32_t number) const { return texts[number]; }

  std::uint32_t add(TextIndex& index, const std::string& key) {
    return index.find_or_add(key, static_cast<std::uint32_t>(texts.size()), *this, [&] { texts.push_back(key); });
  }
};

// `count` keys whose hashes under kSeed share their top 16 bits, so that
// they share one first slot in any table of up to 2^16 slots.
std::deque<std::string> colliding_keys(std::size_t count) {
  std::deque<std::string> keys;
  const std::uint64_t target = text_hash("target", kSeed) >> 48;
  for (std::uint64_t i = 0; keys.size() < count; ++i) {
    std::string key = numbered("doc-", i);
    if (text_hash(key, kSeed) >> 48 == target) keys.push_back(std::move(key));
  }
  return keys;
}

}  // namespace

TEST(TextIndex, NumbersEachKeyOnceAndFindsItAgain) {
  TextIndex index(kSeed);
  Keys keys;
  for (int round = 0; round < 2; ++round) {
    for (std::uint32_t i = 0; i < 5000; ++i) {
      const std::uint32_t found = keys.add(index, numbered("q", i));
      EXPECT_EQ(found, round == 0 ? TextIndex::npos : i);
    }
  }
  EXPECT_EQ(index.size(), 5000u);
  EXPECT_EQ(keys.texts.size(), 5000u);  // add() only for new keys
  EXPECT_EQ(index.find("q4999", keys), 4999u);
  EXPECT_EQ(index.find("q5000", keys), TextIndex::npos);
  EXPECT_EQ(index.find("", keys), TextIndex::npos);
  EXPECT_FALSE(index.ordered());

  index.clear();
  keys.texts.clear();
  EXPECT_EQ(index.find("q1", keys), TextIndex::npos);
  EXPECT_EQ(keys.add(index, ""), TextIndex::npos);
  EXPECT_EQ(keys.add(index, ""), 0u);
}

TEST(TextIndex, CollidingKeysTurnItOrderedAndKeepEveryAnswer) {
  const std::deque<std::string> colliding = colliding_keys(3 * TextIndex::kMaxProbes);
  TextIndex index(kSeed);
  Keys keys;
  std::uint32_t number = 0;
  for (const std::string& key : colliding) {
    EXPECT_EQ(keys.add(index, key), TextIndex::npos);
    // Ordinary keys in between still land in the same index.
    EXPECT_EQ(keys.add(index, numbered("plain-", number)), TextIndex::npos);
    number += 2;
  }
  EXPECT_TRUE(index.ordered());
  EXPECT_EQ(index.size(), 2 * colliding.size());
  for (std::uint32_t i = 0; i < keys.texts.size(); ++i) {
    EXPECT_EQ(index.find(keys.texts[i], keys), i);
    EXPECT_EQ(keys.add(index, std::string(keys.texts[i])), i);  // a transient copy of the key
  }
  EXPECT_EQ(index.find("doc-absent", keys), TextIndex::npos);

  // Emptied, it hashes again.
  index.clear();
  keys.texts.clear();
  EXPECT_FALSE(index.ordered());
  EXPECT_EQ(keys.add(index, "q"), TextIndex::npos);
  EXPECT_EQ(index.find("q", keys), 0u);
}

TEST(TextIndex, HashDependsOnSeedLengthAndEveryByte) {
  EXPECT_NE(text_hash("abc", 1), text_hash("abc", 2));
  EXPECT_NE(text_hash("", 1), text_hash(std::string_view("\0", 1), 1));
  EXPECT_NE(text_hash("abcdefgh", 1), text_hash(std::string_view("abcdefgh\0", 9), 1));
  std::string key(23, 'x');
  const std::uint64_t base = text_hash(key, 7);
  for (std::size_t i = 0; i < key.size(); ++i) {
    std::string changed = key;
    changed[i] = 'y';
    EXPECT_NE(text_hash(changed, 7), base) << i;
  }
}
