#include "unicode_props.h"

#include <gtest/gtest.h>
#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include <string>

#include "../tools/icu_classes.h"
#include "case_mapping.h"
#include "utf8.h"

namespace oq::unicode {
namespace {

std::string icu_upper(const std::string& utf8) {
  UErrorCode status = U_ZERO_ERROR;
  UChar wide[64], upper[192];
  int32_t length = 0;
  u_strFromUTF8(wide, 64, &length, utf8.data(), static_cast<int32_t>(utf8.size()), &status);
  const int32_t n = u_strToUpper(upper, 192, wide, length, "", &status);
  char out[512];
  int32_t written = 0;
  u_strToUTF8(out, sizeof out, &written, upper, n, &status);
  EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
  return std::string(out, static_cast<std::size_t>(written));
}

TEST(UnicodeProps, TheTablesAreTheUnicodeVersionTheyWereReadFrom) {
  UVersionInfo version;
  u_getUnicodeVersion(version);
  // The comparisons below mean something only against the version the tables were read from.
  ASSERT_EQ(major_version(), version[0]);
  ASSERT_EQ(minor_version(), version[1]);
}

TEST(UnicodeProps, EveryCodePointIsClassedAsIcuClassesIt) {
  for (UChar32 c = 0; c <= 0x10FFFF; ++c) {
    ASSERT_EQ(classes(static_cast<char32_t>(c)), icu_classes(c)) << std::hex << c;
  }
}

TEST(UnicodeProps, EveryCodePointIsUpperCasedAsIcuUpperCasesIt) {
  for (UChar32 c = 0; c <= 0x10FFFF; ++c) {
    if (U_IS_SURROGATE(c)) continue;  // no UTF-8 text holds one
    std::string text;
    append_utf8(text, static_cast<char32_t>(c));
    std::string ours;
    append_upper(ours, static_cast<char32_t>(c));
    ASSERT_EQ(ours, icu_upper(text)) << std::hex << c;
    ASSERT_EQ(to_upper(text), ours) << std::hex << c;
  }
  // Texts map character by character, one character becoming several where Unicode says so.
  for (const std::string text :
       {"stra\xC3\x9F"
        "e",
        "\xEF\xAC\x83"
        "x",
        "a\xCE\x90"
        "b",
        "\xC5\x89\xC7\xB0", "\xE1\xBE\x80\xE1\xBE\xB3", "level_\xC3\xA9"}) {
    EXPECT_EQ(to_upper(text), icu_upper(text)) << text;
  }
}

}  // namespace
}  // namespace oq::unicode
