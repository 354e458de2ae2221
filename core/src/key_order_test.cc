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

TEST(KeyOrder, OrdersLikeStringComparison) {
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    // Both the comparison sort of few keys and the radix sort of many.
    std::vector<std::string> keys(random() % (3 * kSortBelow));
    for (std::string& key : keys) key = random_key(random);
    std::vector<std::uint32_t> order(keys.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    sort_by_key(order, [&](std::uint32_t i) -> std::string_view { return keys[i]; });
    ASSERT_EQ(order.size(), keys.size());
    std::vector<std::string> ordered;
    for (const std::uint32_t i : order) ordered.push_back(keys[i]);
    std::vector<std::string> expected = keys;
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(ordered, expected);
  }
}

TEST(KeyOrder, PrefixOrdersLikeTheFirstEightBytes) {
  EXPECT_LT(key_prefix("ab"), key_prefix("ab\x01"));
  EXPECT_EQ(key_prefix("ab"), key_prefix(std::string_view("ab\0", 3)));
  EXPECT_LT(key_prefix("a\x7f"), key_prefix("a\x80"));
  EXPECT_EQ(key_prefix("12345678x"), key_prefix("12345678y"));
}

}  // namespace
}  // namespace oq
