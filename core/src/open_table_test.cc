#include "oq/open_table.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "flat_index.h"
#include "pointer_set.h"

namespace oq {
namespace {

// Filing and finding agree with std::unordered_map on one index reused round after round, across
// the move from keys filed by their digest to keys filed by their hash and across growth. The keys
// share their length and end bytes (so their digests collide) or differ only there.
TEST(OpenTable, TextKeysAgreeWithAMapAcrossResets) {
  std::mt19937 random(7);
  FlatIndex index;
  std::vector<std::string> universe;
  for (int i = 0; i < 3000; ++i) {
    universe.push_back((i % 2 ? "gap-" : "g") + std::to_string(i % 50) + "-x" +
                       std::to_string(i / 50) + "z");
  }
  for (const std::size_t keys : {0, 1, 15, 16, 17, 40, 2000, 3, 16, 500}) {
    for (const std::size_t expected : {std::size_t{0}, keys}) {
      index.reset(expected);
      std::unordered_map<std::string_view, std::uint32_t> reference;
      for (std::uint32_t i = 0; i < 2 * keys; ++i) {
        const std::string_view key = universe[random() % (keys + 1)];
        const auto [filed, fresh] = reference.emplace(key, i);
        ASSERT_EQ(index.emplace(key, i), std::make_pair(filed->second, fresh)) << keys;
        const std::string_view probe = universe[random() % universe.size()];
        const auto found = reference.find(probe);
        ASSERT_EQ(index.find(probe), found == reference.end() ? FlatIndex::kAbsent : found->second)
            << keys << " " << probe;
      }
    }
  }
}

// The same for addresses, which are always hashed: a set cleared and refilled many times.
TEST(OpenTable, AddressKeysAgreeWithASetAcrossClears) {
  std::mt19937 random(11);
  std::vector<long> nodes(3000);
  PointerSet set;
  for (const int universe : {1, 4, 20, 2000, 5, 300}) {
    set.clear();
    std::set<const void*> expected;
    for (int step = 0; step < 4 * universe; ++step) {
      const void* p = &nodes[random() % universe];
      ASSERT_EQ(set.insert(p), expected.insert(p).second) << universe << " " << step;
      const void* q = &nodes[random() % nodes.size()];
      ASSERT_EQ(set.contains(q), expected.contains(q)) << universe << " " << step;
    }
  }
}

}  // namespace
}  // namespace oq
