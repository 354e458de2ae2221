#include "oq/quote.h"

#include <gtest/gtest.h>

namespace oq {
namespace {

struct QuoteCase {
  std::string input;
  std::string expected;
};

class QuoteStringTest : public testing::TestWithParam<QuoteCase> {};

TEST_P(QuoteStringTest, Escapes) { EXPECT_EQ(quote_string(GetParam().input), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Cases, QuoteStringTest,
    testing::Values(QuoteCase{"", "\"\""}, QuoteCase{"a'b", "\"a'b\""},
                    QuoteCase{"\"\\", "\"\\\"\\\\\""}, QuoteCase{"\t\r\n", "\"\\t\\r\\n\""},
                    QuoteCase{std::string("\0", 1), "\"\\0\""},
                    QuoteCase{"\x01\x7f", "\"\\u{1}\\u{7f}\""},
                    QuoteCase{"\xc3\xa9", "\"\xc3\xa9\""},       // é stays
                    QuoteCase{"\xe2\x80\xa8", "\"\\u{2028}\""},  // line separator
                    QuoteCase{"\xcc\x81", "\"\\u{301}\""},       // combining acute
                    QuoteCase{"\xe2\x80\x8b", "\"\\u{200b}\""},  // zero-width space (format)
                    QuoteCase{"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""}));  // emoji stays

TEST(AppendUnquoted, EscapesWhatCouldEndTheLineOrStartAField) {
  const auto unquoted = [](std::string_view s) {
    std::string out;
    append_unquoted(out, s);
    return out;
  };
  for (const std::string_view plain : {"", "claim-7", "a=b", "x:y/z", "\xc3\xa9"}) {
    EXPECT_EQ(unquoted(plain), plain);
  }
  EXPECT_EQ(unquoted("c\nx DEBUG live permission read permission=AAA"),
            "c\\nx\\u{20}DEBUG\\u{20}live\\u{20}permission\\u{20}read\\u{20}permission=AAA");
  EXPECT_EQ(unquoted("\"q\" \\"), "\\\"q\\\"\\u{20}\\\\");
  EXPECT_EQ(unquoted("\r\t\xe2\x80\xae"), "\\r\\t\\u{202e}");
  // No-break, ideographic and other space separators would split the field for a reader too.
  EXPECT_EQ(unquoted("a\xc2\xa0"
                     "b\xe3\x80\x80"
                     "c\xe2\x80\xaf"
                     "d"),
            "a\\u{a0}b\\u{3000}c\\u{202f}d");
}

TEST(QuoteChar, EscapesSingleQuoteOnly) {
  EXPECT_EQ(quote_char('\''), "'\\''");
  EXPECT_EQ(quote_char('"'), "'\"'");
  EXPECT_EQ(quote_char('-'), "'-'");
  EXPECT_EQ(quote_char(0x85), "'\\u{85}'");
}

}  // namespace
}  // namespace oq
