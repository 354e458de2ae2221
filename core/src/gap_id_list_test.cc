#include "oq/gap_id_list.h"

#include <gtest/gtest.h>

namespace oq {
namespace {

using Ids = std::vector<std::string>;

// Lists read back as given: empty ones, empty ids, embedded NULs, ids whose lengths take one,
// two and three bytes to write, many ids.
TEST(GapIdList, ReadsBackWhatItWasGiven) {
  const std::string nul("a\0b", 3);
  const std::vector<std::pair<Ids, Ids>> cases = {
      {{}, {}},
      {{"g"}, {}},
      {{}, {"g"}},
      {{"", "g1", "g1"}, {nul, ""}},
      {{std::string(127, 'x'), std::string(128, 'y')}, {std::string(20000, 'z')}},
      {Ids(50, "gap"), Ids(3, "other")},
  };
  for (const auto& [closes, bounds] : cases) {
    const GapIdList ids(closes, bounds);
    EXPECT_EQ(ids.closes().to_vector(), closes);
    EXPECT_EQ(ids.bounds().to_vector(), bounds);
    EXPECT_EQ(ids.closes().size(), closes.size());
    EXPECT_EQ(ids.bounds().empty(), bounds.empty());
  }
}

// Equal lists compare equal; any change in an id, its length, or which side it is on does not.
TEST(GapIdList, RangesCompareByTheirIds) {
  const GapIdList base({"ab", "c"}, {"d"});
  EXPECT_EQ(base.closes(), GapIdList({"ab", "c"}, {}).closes());
  EXPECT_EQ(base.bounds(), GapIdList({}, {"d"}).bounds());
  EXPECT_FALSE(base.closes() == GapIdList({"a", "bc"}, {"d"}).closes());
  EXPECT_FALSE(base.closes() == GapIdList({"abc"}, {"d"}).closes());
  EXPECT_FALSE(base.closes() == GapIdList({"ab", "c", "d"}, {}).closes());
  EXPECT_FALSE(base.bounds() == GapIdList({"ab"}, {"c", "d"}).bounds());
}

}  // namespace
}  // namespace oq
