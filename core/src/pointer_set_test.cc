#include "pointer_set.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

namespace oq {
namespace {

// Inserts and lookups agree with std::set across the move from the few kept in place to the
// table and across the table's growth.
TEST(PointerSet, AgreesWithASet) {
  std::mt19937 random(3);
  for (const int universe : {4, 20, 2000}) {
    std::vector<long> nodes(universe);
    PointerSet set;
    std::set<const void*> expected;
    for (int step = 0; step < 4 * universe; ++step) {
      const void* p = &nodes[random() % nodes.size()];
      ASSERT_EQ(set.insert(p), expected.insert(p).second) << universe << " " << step;
      const void* q = &nodes[random() % nodes.size()];
      ASSERT_EQ(set.contains(q), expected.contains(q)) << universe << " " << step;
    }
  }
}

}  // namespace
}  // namespace oq
