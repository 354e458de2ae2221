#include "oq/permission.h"

#include <gtest/gtest.h>

#include "oq/default_chain.h"
#include "utf8.h"

namespace oq {
namespace {

std::string reason(std::string_view name) {
  auto error = validate_level_name(name);
  return error ? error->text() : "valid";
}

TEST(ValidateLevelName, RulesInOrder) {
  EXPECT_EQ(reason(std::string(64, 'A')), "valid");
  EXPECT_EQ(reason(std::string(65, 'A')), "TooLong { length: 65, max: 64 }");
  std::string wide;
  for (int i = 0; i < 33; ++i) wide += "\xc3\xa9";
  EXPECT_EQ(reason(wide), "TooLong { length: 66, max: 64 }");
  EXPECT_EQ(reason(""), "Empty");
  EXPECT_EQ(reason("9A"), "valid");
  EXPECT_EQ(reason("A-B_c"), "valid");
  EXPECT_EQ(reason("-A"), "CharsetViolation { offending_char: '-', position: 0 }");
  EXPECT_EQ(reason("A B"), "CharsetViolation { offending_char: ' ', position: 1 }");
  EXPECT_EQ(reason("A\xc3\xa9"), "CharsetViolation { offending_char: '\xc3\xa9', position: 1 }");
  EXPECT_EQ(reason("\xc3\xa9\xc3\xa9x!"),
            "CharsetViolation { offending_char: '\xc3\xa9', position: 0 }");
  EXPECT_EQ(reason("ab'"), "CharsetViolation { offending_char: '\\'', position: 2 }");
}

TEST(Intern, ReturnsOneStoredCopy) {
  std::string first = "SOME_LEVEL";
  const std::string_view a = intern(first);
  first[0] = 'X';
  const std::string_view b = intern(std::string("SOME_LEVEL"));
  EXPECT_EQ(a.data(), b.data());
  EXPECT_EQ(a, "SOME_LEVEL");
  EXPECT_EQ(Permission::named("SOME_LEVEL"), Permission::named(std::string("SOME_LEVEL")));
  EXPECT_FALSE(Permission::named("SOME_LEVEL") == Permission::named("OTHER"));
}

TEST(DefaultLevelFromStr, MalformedUtf8NamesNoLevel) {
  const auto refused = default_level_from_str("aea\x9b\x8f");
  ASSERT_FALSE(refused);
  EXPECT_TRUE(
      is_valid_utf8("e\xc5\xbf"
                    "c"));  // the long s upper-cases to S
  EXPECT_EQ(default_level_from_str("e\xc5\xbf"
                                   "c")
                ->name(),
            "ESC");
  EXPECT_FALSE(is_valid_utf8("\xc3"));
  EXPECT_TRUE(is_valid_utf8("\xef\xbf\xbd"));
}

}  // namespace
}  // namespace oq
