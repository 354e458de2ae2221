#include "key_order.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace oq {
namespace {

// Keys that stress the prefix: shared first eight bytes, embedded NULs, bytes above 0x7f, one a
// prefix of another, and the empty key.
std::string random_key(std::mt19937& random) {
  static const std::string kAlphabet{
      "\0\x01"
      "ab\x7f\x80\xff",
      7};
  std::string key = random() % 2 ? "common-prefix" : "";
  for (std::size_t n = random() % 12; n > 0; --n) key += kAlphabet[random() % kAlphabet.size()];
  return key;
}

TEST(KeyOrder, OrdersByKeyThenPosition) {
  std::mt19937 random(7);
  // One KeyOrder for every round: what an earlier, larger ordering left behind must not matter.
  KeyOrder key_order;
  for (int round = 0; round < 300; ++round) {
    // The insertion sort of a handful, the comparison sort of few keys, the radix sort of many,
    // and now and then enough for the radix sort to split them by their first bytes first.
    const std::size_t bound = round % 3 == 0    ? kInsertionSortMost + 1
                              : round % 50 == 1 ? 40'000
                                                : 3 * kSortBelow;
    std::vector<std::string> keys(random() % bound);
    for (std::string& key : keys) key = random_key(random);
    const auto sorted =
        key_order.sort(keys.size(), [&](std::uint32_t i) -> std::string_view { return keys[i]; });
    ASSERT_EQ(sorted.size(), keys.size());
    std::vector<std::pair<std::string, std::uint32_t>> got, expected;
    for (std::uint32_t i = 0; i < keys.size(); ++i) {
      got.emplace_back(std::string(sorted[i].key()), sorted[i].position);
      expected.emplace_back(keys[i], i);
      if (i > 0) {
        ASSERT_EQ(same_key(sorted[i - 1], sorted[i]), sorted[i - 1].key() == sorted[i].key());
      }
    }
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(got, expected);
  }
}

// Many keys that share a first byte and differ in the next ones: the radix sort splits them by
// their second byte, and each part, still too large to sort in one go, is split again.
TEST(KeyOrder, SplitsManyKeysMoreThanOnce) {
  std::mt19937 random(3);
  std::vector<std::string> keys(40'000);
  for (std::string& key : keys) {
    key = "k";
    for (int i = 0; i < 6; ++i) key += static_cast<char>('a' + random() % 4);
  }
  KeyOrder key_order;
  const auto sorted =
      key_order.sort(keys.size(), [&](std::uint32_t i) -> std::string_view { return keys[i]; });
  std::vector<std::pair<std::string, std::uint32_t>> got, expected;
  for (std::uint32_t i = 0; i < keys.size(); ++i) {
    got.emplace_back(std::string(sorted[i].key()), sorted[i].position);
    expected.emplace_back(keys[i], i);
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(got, expected);
}

TEST(KeyOrder, PrefixOrdersLikeTheFirstEightBytes) {
  EXPECT_LT(key_prefix("ab"), key_prefix("ab\x01"));
  EXPECT_EQ(key_prefix("ab"), key_prefix(std::string_view("ab\0", 3)));
  EXPECT_LT(key_prefix("a\x7f"), key_prefix("a\x80"));
  EXPECT_EQ(key_prefix("12345678x"), key_prefix("12345678y"));
}

}  // namespace
}  // namespace oq
