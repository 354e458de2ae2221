#include "oq/details.h"

#include <gtest/gtest.h>

#include <chrono>

namespace oq {
namespace {

std::string round_trip(std::string_view text) {
  auto value = parse_details(text);
  return value ? dump_details(*value) : "error: " + value.error();
}

struct RoundTripCase {
  std::string input;
  std::string output;
};

class DetailsRoundTrip : public testing::TestWithParam<RoundTripCase> {};

TEST_P(DetailsRoundTrip, NormalisesToCompactSortedText) {
  EXPECT_EQ(round_trip(GetParam().input), GetParam().output);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DetailsRoundTrip,
    testing::Values(RoundTripCase{R"({"b": 1, "a": [true, null]})", R"({"a":[true,null],"b":1})"},
                    RoundTripCase{R"({"z":1,"a":2})", R"({"a":2,"z":1})"},
                    RoundTripCase{" \t\r\n null \n", "null"},
                    RoundTripCase{R"({"k": 1, "k": 2})", R"({"k":2})"},
                    RoundTripCase{"18446744073709551615", "18446744073709551615"},
                    RoundTripCase{"-9223372036854775808", "-9223372036854775808"},
                    RoundTripCase{"18446744073709551616", "1.8446744073709552e+19"},
                    RoundTripCase{"[0.1, 1.5e300, -0.0, 1e-400]", "[0.1,1.5e+300,-0.0,0.0]"},
                    RoundTripCase{R"({"\u00e9": "\u2603 \n\u0001\"\\"})",
                                  "{\"\xc3\xa9\":\"\xe2\x98\x83 \\n\\u0001\\\"\\\\\"}"},
                    RoundTripCase{R"(["\ud83d\ude00"])", "[\"\xf0\x9f\x98\x80\"]"},
                    RoundTripCase{R"({"B":0,"a":0,"\u00e0":0,"A":0})",
                                  "{\"A\":0,\"B\":0,\"a\":0,\"\xc3\xa0\":0}"}));

struct FaultCase {
  std::string input;
  std::string description_part;
  std::string position;
};

class DetailsFault : public testing::TestWithParam<FaultCase> {};

TEST_P(DetailsFault, DescribesTheFaultAndWhereItIs) {
  const auto value = parse_details(GetParam().input);
  ASSERT_FALSE(value) << dump_details(*value);
  const std::string& error = value.error();
  EXPECT_NE(error.find(GetParam().description_part), std::string::npos) << error;
  EXPECT_TRUE(error.ends_with(GetParam().position)) << error;
  // The library's own tag and position are replaced, not repeated.
  EXPECT_EQ(error.find("json.exception"), std::string::npos) << error;
  EXPECT_EQ(error.find(", column"), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DetailsFault,
    testing::Values(FaultCase{"", "unexpected end of input", " at line 1 column 1"},
                    FaultCase{"   ", "unexpected end of input", " at line 1 column 4"},
                    FaultCase{"[1,]", "unexpected ']'", " at line 1 column 4"},
                    FaultCase{"{\n  \"a\": tru\n}", "invalid literal", " at line 2 column 11"},
                    FaultCase{"1 x", "expected end of input", " at line 1 column 3"},
                    FaultCase{"[1] [2]", "expected end of input", " at line 1 column 5"},
                    FaultCase{"NaN", "invalid literal", " at line 1 column 1"},
                    FaultCase{"Infinity", "invalid literal", " at line 1 column 1"},
                    FaultCase{"[-Infinity]", "invalid number", " at line 1 column 3"},
                    FaultCase{R"("\ud800")", "surrogate", " at line 1 column 8"},
                    FaultCase{R"(["\udc00x"])", "surrogate", " at line 1 column 8"},
                    FaultCase{"1e400", "number overflow", " at line 1 column 1"},
                    FaultCase{"[1,\n -1e400]", "number overflow", " at line 2 column 2"},
                    FaultCase{"{\"a\": 1" + std::string(400, '0') + "}", "number overflow",
                              " at line 1 column 7"},
                    FaultCase{"\"a\nb\"", "control character", " at line 1 column 3"},
                    FaultCase{"\"\xff\"", "invalid string", " at line 1 column 2"}));

std::string nested(std::size_t depth) {
  std::string text;
  text.reserve(2 * depth + 1);
  for (std::size_t i = 0; i < depth; ++i) text += i % 2 == 0 ? "[" : "{\"k\":";
  text += '1';
  for (std::size_t i = depth; i-- > 0;) text += i % 2 == 0 ? "]" : "}";
  return text;
}

TEST(DetailsFault, DescriptionIsValidUtf8AndShort) {
  // The parser quotes what it read last; ill-formed bytes and huge tokens must not leak into the
  // message.
  const auto bad_byte = parse_details("[\"ab\xc3\"]");
  ASSERT_FALSE(bad_byte);
  EXPECT_EQ(bad_byte.error().find('\xc3'), std::string::npos) << bad_byte.error();
  EXPECT_NE(bad_byte.error().find("\xef\xbf\xbd"), std::string::npos) << bad_byte.error();

  const std::string long_string = "\"" + std::string(1'000'000, 'x') + "\xe2\x98\x83\\q\"";
  const auto long_token = parse_details(long_string);
  ASSERT_FALSE(long_token);
  EXPECT_LT(long_token.error().size(), 300u) << long_token.error();
  EXPECT_NE(long_token.error().find("...xxx"), std::string::npos) << long_token.error();
  EXPECT_NE(long_token.error().find("\xe2\x98\x83\\q"), std::string::npos);
  EXPECT_TRUE(long_token.error().ends_with(" at line 1 column 1000006")) << long_token.error();

  // A number of a million digits that no double holds is quoted by its last 40 bytes only.
  const auto huge_number = parse_details("[1" + std::string(1'000'000, '0') + "]");
  ASSERT_FALSE(huge_number);
  EXPECT_EQ(huge_number.error(),
            "number overflow parsing '..." + std::string(40, '0') + "' at line 1 column 2");
}

TEST(DetailsDepth, AcceptsTheLimitAndRefusesOneMore) {
  EXPECT_TRUE(parse_details(nested(kMaxDetailsDepth)));
  const auto refused = parse_details(nested(kMaxDetailsDepth + 1));
  ASSERT_FALSE(refused);
  // 64 arrays and 64 objects ("[" and "{\"k\":") precede the offending bracket.
  EXPECT_EQ(refused.error(), "nesting deeper than 128 levels at line 1 column " +
                                 std::to_string(64 * 1 + 64 * 5 + 1));
}

TEST(DetailsDepth, LocatesTheBracketPastStringsThatHoldBrackets) {
  std::string text = "{\"[[\\\"{\":\n[\"]\"," + std::string(kMaxDetailsDepth - 1, '[');
  const auto refused = parse_details(text);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), "nesting deeper than 128 levels at line 2 column " +
                                 std::to_string(6 + kMaxDetailsDepth - 2));
}

TEST(DetailsDepth, RefusesMillionsOfBracketsQuickly) {
  const std::string text(10'000'000, '[');
  const auto start = std::chrono::steady_clock::now();
  const auto refused = parse_details(text);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), "nesting deeper than 128 levels at line 1 column 129");
  EXPECT_LT(elapsed, std::chrono::seconds(1));
  EXPECT_FALSE(parse_details(std::string(3'000'000, '{')));
}

}  // namespace
}  // namespace oq

namespace oq {
namespace {

struct NulCase {
  std::string text;
  std::string error_suffix;
};

class DetailsNulTest : public testing::TestWithParam<NulCase> {};

// The parser reads a NUL as the end of input; the text after one must never be dropped.
TEST_P(DetailsNulTest, RawNulIsAnErrorAtItsPosition) {
  const auto parsed = parse_details(GetParam().text);
  ASSERT_FALSE(parsed.has_value());
  EXPECT_TRUE(parsed.error().ends_with(GetParam().error_suffix)) << parsed.error();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DetailsNulTest,
    testing::Values(NulCase{std::string("1\0x", 3), "NUL at line 1 column 2"},
                    NulCase{std::string("{\"a\":1}\0", 8), "NUL at line 1 column 8"},
                    NulCase{std::string("[1,\0]", 5), "NUL at line 1 column 4"},
                    NulCase{std::string("\n\"a\0\"", 5), "NUL at line 2 column 3"},
                    NulCase{std::string("x\0", 2), "at line 1 column 1"}));

}  // namespace
}  // namespace oq
