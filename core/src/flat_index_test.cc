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

// A PositionIndex finds keys through their positions; with repeats, misses, a table past the
// size where batches are fetched ahead, and growth from too small a size, it must agree with a
// FlatIndex.
TEST(PositionIndex, AgreesWithFlatIndex) {
  struct KeyAt {
    const std::vector<std::string>* keys = nullptr;
    std::string_view operator()(std::uint32_t i) const { return (*keys)[i]; }
  };
  for (const std::size_t count : {5u, 10'000u}) {
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < count; ++i) keys.push_back("k" + std::to_string(i * 7 % count / 2));
    for (const std::size_t expected : {count, std::size_t{1}}) {
      PositionIndex<KeyAt> by_position(expected, {KeyAt{&keys}});
      FlatIndex by_view(expected);
      by_position.emplace_all(
          count, [&](std::size_t i) -> std::string_view { return keys[i]; },
          [&](std::size_t i, std::pair<std::uint32_t, bool> filed) {
            EXPECT_EQ(filed, by_view.emplace(keys[i], static_cast<std::uint32_t>(i))) << i;
            return true;
          });
      std::vector<std::string> probes = keys;
      for (std::size_t i = 0; i < count; ++i) probes.push_back("absent" + std::to_string(i));
      by_position.find_all(
          probes.size(), [&](std::size_t i) -> std::string_view { return probes[i]; },
          [&](std::size_t i, std::uint32_t position) {
            EXPECT_EQ(position, by_view.find(probes[i])) << probes[i];
            return true;
          });
    }
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
