#include "json_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "oq/decision_record.h"

namespace oq {
namespace {

using json_text::float_repr;

TEST(FloatRepr, WritesWhatPythonsReprWrites) {
  // repr() of each value, as CPython 3.11 prints it.
  const std::pair<double, const char*> cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {0.5, "0.5"},
      {100.0, "100.0"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e+16"},
      {1.5e-5, "1.5e-05"},
      {0.0001, "0.0001"},
      {1e300, "1e+300"},
      {-2.5e-300, "-2.5e-300"},
      {1796803200.123456, "1796803200.123456"},
      {0.1 + 0.2, "0.30000000000000004"},
      {5e-324, "5e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {123456789012345678.0, "1.2345678901234568e+17"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(float_repr(value), text) << text;
  EXPECT_EQ(float_repr(std::nan("")), "nan");
  EXPECT_EQ(float_repr(-HUGE_VAL), "-inf");
}

TEST(Quoted, EscapesAsJsonDumpsDoes) {
  EXPECT_EQ(json_text::quoted("a\"\\\n\r\t\b\f\x01\x7f"), R"("a\"\\\n\r\t\b\f\u0001)"
                                                          "\x7f\"");
  EXPECT_EQ(json_text::quoted("\xc3\xa9\xf0\x9f\x98\x80"), "\"\xc3\xa9\xf0\x9f\x98\x80\"");
  EXPECT_EQ(json_text::quoted("\xc3\xa9\xf0\x9f\x98\x80", true), R"("\u00e9\ud83d\ude00")");
  // A lone surrogate, as WTF-8 holds it, is written as its code unit in either form, so that
  // a path or message that quotes it is UTF-8.
  EXPECT_EQ(json_text::quoted("\xed\xa0\x80", true), R"("\ud800")");
  EXPECT_EQ(json_text::quoted("k\xed\xb0\x80\xc3\xa9"), "\"k\\udc00\xc3\xa9\"");
  EXPECT_EQ(json_text::member_path("$", "\xed\xb0\x80"), R"($["\udc00"])");
}

TEST(MemberPath, WritesIdentifiersAfterADotAndAnythingElseInBrackets) {
  EXPECT_EQ(json_text::member_path("$", "claim_id"), "$.claim_id");
  EXPECT_EQ(json_text::member_path("$", "\xc3\xa9t\xc3\xa9"), "$.\xc3\xa9t\xc3\xa9");
  EXPECT_EQ(json_text::member_path("$", "t 1"), R"($["t 1"])");
  EXPECT_EQ(json_text::member_path("$", "1st"), R"($["1st"])");
  EXPECT_EQ(json_text::member_path("$", ""), R"($[""])");
}

TEST(Clipped, CutsCharactersNotBytes) {
  std::string accents;
  for (int i = 0; i < 70; ++i) accents += "\xc3\xa9";
  const std::string cut = json_text::clipped(accents);
  EXPECT_EQ(cut.size(), 57 * 2 + 3);
  EXPECT_TRUE(cut.ends_with("\xc3\xa9..."));
  EXPECT_EQ(json_text::clipped(std::string(60, 'x')), std::string(60, 'x'));
}

TEST(StringEnd, SkipsEscapedQuotesButNotEscapedBackslashes) {
  EXPECT_EQ(json_text::string_end(R"("ab" x)", 0), 3u);
  EXPECT_EQ(json_text::string_end(R"("a\"b" x)", 0), 5u);
  EXPECT_EQ(json_text::string_end(R"("a\\" x)", 0), 4u);
  EXPECT_EQ(json_text::string_end(R"([1, "x\\\"y"])", 4), 11u);
  EXPECT_EQ(json_text::string_end(R"("unclosed\")", 0), 11u);
}

TEST(Position, CountsLinesAndCharacters) {
  EXPECT_EQ(json_text::position("", 0), "line 1 column 1");
  EXPECT_EQ(json_text::position("ab\n\xc3\xa9x", 6), "line 2 column 3");
  EXPECT_EQ(json_text::position("ab", 99), "line 1 column 3");
}

TEST(ReformatJson, IndentsAsJsonDumpsDoesAndKeepsStringsAsTheyAre) {
  const std::string text = R"({ "a" : [ 1 , {} , [ ] ], "b\"{" : "x , y" })";
  EXPECT_EQ(reformat_json(text, 0), R"({"a":[1,{},[]],"b\"{":"x , y"})");
  EXPECT_EQ(reformat_json(text, 2),
            "{\n  \"a\": [\n    1,\n    {},\n    []\n  ],\n  \"b\\\"{\": \"x , y\"\n}");
}

TEST(UtcText, WritesRfc3339InsideDatetimesRangeAndTheNumberOutside) {
  EXPECT_EQ(utc_text(1796803200.0), "2026-12-09T08:00:00+00:00");
  EXPECT_EQ(utc_text(-62135596800.0), "0001-01-01T00:00:00+00:00");
  EXPECT_EQ(utc_text(253402300800.0), "253402300800.0 (Unix seconds)");
  EXPECT_EQ(utc_text(-1e13), "-10000000000000.0 (Unix seconds)");
}

}  // namespace
}  // namespace oq
