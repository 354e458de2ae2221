#include "flat_index.h"

#include <gtest/gtest.h>

#include <string>

namespace oq {
namespace {

// Batches are 16 keys: counts on either side of a batch boundary, with repeats and misses.
TEST(FlatIndex, BatchedCallsAgreeWithSingleOnes) {
  for (const std::size_t count : {0u, 1u, 15u, 16u, 17u, 100u}) {
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < count; ++i) keys.push_back("k" + std::to_string(i % 40));
    FlatIndex batched(count);
    FlatIndex single(count);
    std::vector<std::pair<std::uint32_t, bool>> filed;
    batched.emplace_all(
        count, [&](std::size_t i) -> std::string_view { return keys[i]; },
        [&](std::size_t, std::pair<std::uint32_t, bool> result) {
          filed.push_back(result);
          return true;
        });
    ASSERT_EQ(filed.size(), count);
    for (std::size_t i = 0; i < count; ++i) {
      EXPECT_EQ(filed[i], single.emplace(keys[i], static_cast<std::uint32_t>(i))) << i;
    }
    std::vector<std::string> probes = keys;
    probes.push_back("absent");
    std::size_t seen = 0;
    batched.find_all(
        probes.size(), [&](std::size_t i) -> std::string_view { return probes[i]; },
        [&](std::size_t i, std::uint32_t position) {
          EXPECT_EQ(position, single.find(probes[i])) << probes[i];
          return ++seen < 20;  // stops after the twentieth
        });
    EXPECT_EQ(seen, std::min<std::size_t>(probes.size(), 20));
  }
}

TEST(FlatIndex, GrowsPastTheSizeItWasGiven) {
  for (FlatIndex index : {FlatIndex(), FlatIndex(0), FlatIndex(3)}) {
    std::vector<std::string> keys;
    for (int i = 0; i < 100; ++i) keys.push_back("key" + std::to_string(i));
    for (std::uint32_t i = 0; i < keys.size(); ++i) {
      ASSERT_TRUE(index.emplace(keys[i], i).second);
      ASSERT_FALSE(index.emplace(keys[i], 999).second);
    }
    for (std::uint32_t i = 0; i < keys.size(); ++i) EXPECT_EQ(index.find(keys[i]), i);
    EXPECT_EQ(index.find("absent"), FlatIndex::kAbsent);
  }
}

TEST(FlatIndex, AnEmptyIndexFindsNothing) {
  const FlatIndex index;
  EXPECT_EQ(index.find("a"), FlatIndex::kAbsent);
  std::uint32_t found = 0;
  index.find_all(
      1, [](std::size_t) -> std::string_view { return "a"; },
      [&](std::size_t, std::uint32_t position) { return found = position, true; });
  EXPECT_EQ(found, FlatIndex::kAbsent);
}

}  // namespace
}  // namespace oq
