#include "oq/gap.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "oq/panic.h"

namespace oq {
namespace {

TEST(GapKind, NamesParseBackAndRequiredStatusRefusesOpen) {
  for (const GapKind kind : {GapKind::Open, GapKind::Bounded, GapKind::Closed}) {
    EXPECT_EQ(parse_gap_kind(gap_kind_name(kind)), kind);
  }
  EXPECT_EQ(gap_kind_name(GapKind::Bounded), "bounded");
  const std::string_view bad_names[] = {"Open", "OPEN",  " open",
                                        "",     "bound", std::string_view("closed\0", 7)};
  for (const std::string_view bad : bad_names) {
    EXPECT_EQ(parse_gap_kind(bad).error().text(), "Unknown gap status: " + std::string(bad));
  }
  EXPECT_EQ(parse_required_status("bounded"), GapKind::Bounded);
  EXPECT_EQ(parse_required_status("closed"), GapKind::Closed);
  EXPECT_EQ(parse_required_status("open").error().text(), "Unknown required_status: open");
  EXPECT_FALSE(parse_required_status("Closed"));
}

TEST(GapKind, SatisfactionIsRankAtLeastMinimum) {
  const GapKind kinds[] = {GapKind::Open, GapKind::Bounded, GapKind::Closed};
  const bool expected[3][3] = {
      // minimum: open, bounded, closed
      {true, false, false},  // status open
      {true, true, false},   // status bounded
      {true, true, true},    // status closed
  };
  for (int s = 0; s < 3; ++s) {
    for (int m = 0; m < 3; ++m) EXPECT_EQ(satisfies(kinds[s], kinds[m]), expected[s][m]);
  }
}

TEST(GapStatus, EqualityFollowsKindAndBound) {
  EXPECT_EQ(GapStatus::bounded(0.0), GapStatus::bounded(-0.0));
  EXPECT_NE(GapStatus::bounded(1.0), GapStatus::bounded(2.0));
  EXPECT_EQ(GapStatus::bounded_unspecified(), GapStatus::bounded_unspecified());
  EXPECT_NE(GapStatus::bounded(0.0), GapStatus::bounded_unspecified());
  EXPECT_NE(GapStatus::open(), GapStatus::closed());
  EXPECT_NE(GapStatus::open(), GapStatus::bounded_unspecified());
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(GapStatus::bounded(inf), GapStatus::bounded(inf));
  EXPECT_EQ(GapStatus::bounded(2.5).bound(), 2.5);
  EXPECT_EQ(GapStatus::closed().bound(), std::nullopt);
}

TEST(GapStatus, NanBoundPanics) {
  try {
    GapStatus::bounded(std::nan(""));
    FAIL() << "no panic";
  } catch (const Panic& panic) {
    EXPECT_STREQ(panic.what(), "numeric bound value must not be NaN");
  }
}

TEST(GapRecord, EqualWhenIdTypeAndStatusAre) {
  const GapRecord base("g", "t", GapStatus::bounded(0.0));
  EXPECT_EQ(base, GapRecord("g", "t", GapStatus::bounded(-0.0)));
  EXPECT_NE(base, GapRecord("g", "u", GapStatus::bounded(0.0)));
  EXPECT_NE(base, GapRecord("h", "t", GapStatus::bounded(0.0)));
  EXPECT_NE(base, GapRecord("g", "t", GapStatus::bounded(1.0)));
  EXPECT_NE(base, GapRecord("g", "t", GapStatus::bounded_unspecified()));
  EXPECT_NE(GapRecord(std::string("g\0a", 3), "t", GapStatus::open()),
            GapRecord(std::string("g\0b", 3), "t", GapStatus::open()));
}

GapRequirement::Arm arm(GapRequirement requirement) {
  return std::make_shared<const GapRequirement>(std::move(requirement));
}

TEST(GapRequirement, ShapesAndDepth) {
  const GapRequirement single = GapRequirement::single("g", GapKind::Closed);
  EXPECT_FALSE(single.is_any_of());
  EXPECT_EQ(single.gap_id(), "g");
  EXPECT_EQ(single.minimum_status(), GapKind::Closed);
  EXPECT_EQ(single.depth(), 1u);

  const GapRequirement empty = GapRequirement::any_of({});
  EXPECT_TRUE(empty.is_any_of());
  EXPECT_EQ(empty.gap_id(), "");
  EXPECT_EQ(empty.minimum_status(), GapKind::Open);
  EXPECT_TRUE(empty.arms().empty());
  EXPECT_EQ(empty.depth(), 1u);

  const auto leaf = arm(single);
  const auto inner = arm(GapRequirement::any_of({leaf, leaf}));
  const GapRequirement outer = GapRequirement::any_of({leaf, inner, arm(empty)});
  EXPECT_EQ(outer.depth(), 3u);
  ASSERT_EQ(outer.arms().size(), 3u);
  EXPECT_EQ(outer.arms()[1], inner);

  // Copies share their arms instead of copying the tree.
  const GapRequirement copy = outer;
  EXPECT_EQ(copy.arms()[1].get(), inner.get());
  EXPECT_EQ(leaf.use_count(), 5);  // leaf, inner twice, outer and copy
}

TEST(GapRequirement, MillionLevelChainDestroysWithoutRecursion) {
  auto node = arm(GapRequirement::single("g", GapKind::Bounded));
  for (int i = 0; i < 1'000'000; ++i) node = arm(GapRequirement::any_of({node}));
  EXPECT_EQ(node->depth(), 1'000'001u);
  node.reset();  // would overflow the stack if each level destroyed the next
  SUCCEED();
}

TEST(GapRequirement, DestructionLeavesSharedArmsIntact) {
  auto node = arm(GapRequirement::single("g", GapKind::Bounded));
  GapRequirement::Arm kept;
  for (int i = 0; i < 1000; ++i) {
    node = arm(GapRequirement::any_of({node, arm(GapRequirement::single("x", GapKind::Closed))}));
    if (i == 500) kept = node;
  }
  node.reset();
  ASSERT_EQ(kept.use_count(), 1);
  EXPECT_EQ(kept->depth(), 502u);
  // The shared subtree still holds every level below it.
  std::size_t levels = 1;
  for (const GapRequirement* r = kept.get(); r->is_any_of(); r = r->arms()[0].get()) {
    ASSERT_EQ(r->arms().size(), 2u);
    EXPECT_EQ(r->arms()[1]->gap_id(), "x");
    ++levels;
  }
  EXPECT_EQ(levels, 502u);
}

TEST(Profile, KeepsLevelAndRequirementsInOrder) {
  const Profile profile(Permission::named("AAA"), {GapRequirement::single("a", GapKind::Bounded),
                                                   GapRequirement::single("b", GapKind::Closed)});
  EXPECT_EQ(profile.permission(), Permission::named("AAA"));
  ASSERT_EQ(profile.required_gaps().size(), 2u);
  EXPECT_EQ(profile.required_gaps()[0].gap_id(), "a");
  EXPECT_EQ(profile.required_gaps()[1].minimum_status(), GapKind::Closed);
}

}  // namespace
}  // namespace oq
