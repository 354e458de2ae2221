#include "oq/chain.h"

#include <gtest/gtest.h>

#include "oq/default_chain.h"

namespace oq {
namespace {

std::vector<std::string_view> names(std::initializer_list<std::string_view> list) { return list; }

PermissionChain::RoleBindings bindings(std::uint64_t b, std::uint64_t e, std::uint64_t r,
                                       std::uint64_t u, std::uint64_t d, std::uint64_t k,
                                       std::uint64_t t) {
  return {b, e, r, u, d, k, t};
}

std::string error_of(std::vector<std::string_view> levels,
                     const PermissionChain::RoleBindings& roles) {
  auto chain = PermissionChain::create(levels, roles);
  return chain ? "ok" : chain.error().text();
}

TEST(PermissionChain, ConstructionChecksRunInOrder) {
  EXPECT_EQ(error_of(names({"A"}), {}), "chain has too few levels: 1 (minimum 2)");
  EXPECT_EQ(error_of(names({"A", "A", "-x"}), {}), "duplicate level name \"A\"");
  EXPECT_EQ(error_of(names({"A", "-x", "A"}), {}),
            "invalid level name \"-x\": CharsetViolation { offending_char: '-', position: 0 }");
  EXPECT_EQ(error_of(names({"A", "B"}), {}), "chain is missing role Bottom");
  auto missing_top = bindings(0, 0, 0, 0, 0, 1, 1);
  missing_top[6].reset();
  EXPECT_EQ(error_of(names({"A", "B"}), missing_top), "chain is missing role Top");
  EXPECT_EQ(error_of(names({"A", "B"}), bindings(0, 2, 0, 0, 0, 1, 1)),
            "role ExpiryFloor maps to index 2 but chain has only 2 levels");
  EXPECT_EQ(error_of(names({"A", "B"}), bindings(1, 0, 0, 0, 0, 1, 1)),
            "role Bottom at index 1 violates structural constraint: Bottom must be index 0");
  EXPECT_EQ(error_of(names({"A", "B", "C"}), bindings(0, 0, 0, 0, 0, 1, 1)),
            "role Top at index 1 violates structural constraint: Top must be index 2 (last)");
  EXPECT_EQ(error_of(names({"A", "B", "C"}), bindings(0, 0, 1, 0, 0, 1, 2)),
            "role Refused at index 1 violates structural constraint: Refused index (1) must be "
            "strictly less than BlockerThreshold index (1)");
  EXPECT_EQ(error_of(names({"A", "B", "C"}), bindings(0, 0, 0, 0, 2, 1, 2)),
            "role DisallowedUsesCeiling at index 2 violates structural constraint: "
            "DisallowedUsesCeiling index (2) must be strictly less than Top index (2)");
  EXPECT_EQ(error_of(names({"A", "B"}), bindings(0, 0, 0, 0, 0, 1, 1)), "ok");
}

TEST(PermissionChain, LevelCountLimits) {
  std::vector<std::string> storage;
  for (int i = 0; i < 257; ++i) storage.push_back("L" + std::to_string(i));
  std::vector<std::string_view> levels(storage.begin(), storage.end());
  EXPECT_EQ(error_of(levels, {}), "chain has too many levels: 257 (maximum 256)");
  levels.pop_back();
  EXPECT_EQ(error_of(levels, bindings(0, 0, 0, 0, 0, 255, 255)), "ok");
}

// Every level of short and long chains is found at its rank; a level of no chain, a name that
// only looks like one, and the placeholder level are found at none.
TEST(PermissionChain, RanksEveryLevel) {
  for (const int count : {2, 17, 256}) {
    std::vector<std::string> storage;
    for (int i = 0; i < count; ++i) storage.push_back("R" + std::to_string(i));
    std::vector<std::string_view> names(storage.begin(), storage.end());
    const auto top = static_cast<std::uint64_t>(count - 1);
    const auto chain = PermissionChain::create(names, bindings(0, 0, 0, 0, 0, top, top));
    ASSERT_TRUE(chain);
    for (int i = 0; i < count; ++i) {
      EXPECT_EQ(chain->rank(Permission::named(storage[i])), i) << count;
    }
    EXPECT_EQ(chain->rank(Permission::named("R" + std::to_string(count))), std::nullopt);
    EXPECT_EQ(chain->rank(Permission::named("r0")), std::nullopt);
    EXPECT_EQ(chain->rank(Permission()), std::nullopt);
  }
}

TEST(DefaultChain, HashAndQueries) {
  const PermissionChain& chain = *default_chain();
  EXPECT_EQ(chain.hash().to_hex(),
            "d2727b9e0edf84eec52108084b53d22c1a2350059ae5f21c7deb5ab645b2c491");
  EXPECT_EQ(chain.role(ChainRole::DisallowedUsesCeiling).name(), "ROL");
  EXPECT_EQ(chain.rank(default_levels().ETA), 4);
  EXPECT_EQ(chain.meet(default_levels().REV, default_levels().ESC)->name(), "ESC");
  EXPECT_FALSE(chain.parse("aaa"));
  EXPECT_EQ(chain.meet(Permission::named("FOO"), default_levels().AAA).error().text(),
            "level \"FOO\" is not in this chain");
}

TEST(ChainHash, CoversOrderAndBindings) {
  const auto a = PermissionChain::create(names({"A", "B", "C"}), bindings(0, 0, 0, 0, 0, 1, 2));
  const auto swapped =
      PermissionChain::create(names({"B", "A", "C"}), bindings(0, 0, 0, 0, 0, 1, 2));
  const auto moved = PermissionChain::create(names({"A", "B", "C"}), bindings(0, 0, 0, 0, 1, 1, 2));
  const auto again = PermissionChain::create(names({"A", "B", "C"}), bindings(0, 0, 0, 0, 0, 1, 2));
  EXPECT_NE(a->hash(), swapped->hash());
  EXPECT_NE(a->hash(), moved->hash());
  EXPECT_EQ(a->hash(), again->hash());
}

}  // namespace
}  // namespace oq

namespace oq {
namespace {

TEST(DefaultLevelFromStr, UsesFullUpperCaseMapping) {
  EXPECT_EQ(default_level_from_str("aex"), default_levels().AEX);
  EXPECT_EQ(default_level_from_str("Aaa"), default_levels().AAA);
  // U+017F (long s) upper-cases to S, U+0131 (dotless i) to I.
  EXPECT_EQ(default_level_from_str("e\xc5\xbf"
                                   "c"),
            default_levels().ESC);
  EXPECT_EQ(default_level_from_str("d\xc4\xb1"
                                   "a"),
            default_levels().DIA);
  EXPECT_EQ(default_level_from_str("").error().text(), "Unknown permission: \"\"");
  EXPECT_FALSE(default_level_from_str("xyz"));
  EXPECT_FALSE(default_level_from_str(std::string(1000, 'a')));
}

}  // namespace
}  // namespace oq
