#include "unicode_props.h"

#include <algorithm>
#include <array>

#include "utf8.h"

namespace oq::unicode {

namespace {

struct UnicodeRange {
  char32_t first;
  std::uint8_t classes;
};

struct UpperOne {
  char32_t from;
  char32_t to;
};

struct UpperMany {
  char32_t from;
  std::array<char32_t, 3> to;
};

#include "unicode_tables.inc"

// ASCII, which the tables leave out: letters, digits and '_' are identifier characters, the
// space a space separator, the controls hidden.
std::uint8_t ascii_classes(char32_t ch) {
  if (ch < 0x20 || ch == 0x7F) return kHidden;
  if (ch == ' ') return kSpace;
  const bool letter = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
  if (letter) return kXidStart | kXidContinue;
  if ((ch >= '0' && ch <= '9') || ch == '_') return kXidContinue;
  return 0;
}

}  // namespace

std::uint8_t classes(char32_t ch) {
  if (ch < 0x80) return ascii_classes(ch);
  const auto* end = std::end(kUnicodeRanges);
  const auto* at = std::upper_bound(std::begin(kUnicodeRanges), end, ch,
                                    [](char32_t c, const UnicodeRange& r) { return c < r.first; });
  return at == std::begin(kUnicodeRanges) ? 0 : (at - 1)->classes;
}

void append_upper(std::string& out, char32_t ch) {
  if (ch < 0x80) {
    out += static_cast<char>(ch >= 'a' && ch <= 'z' ? ch - 'a' + 'A' : ch);
    return;
  }
  const auto* one = std::lower_bound(std::begin(kUpperOne), std::end(kUpperOne), ch,
                                     [](const UpperOne& u, char32_t c) { return u.from < c; });
  if (one != std::end(kUpperOne) && one->from == ch) {
    append_utf8(out, one->to);
    return;
  }
  const auto* many = std::lower_bound(std::begin(kUpperMany), std::end(kUpperMany), ch,
                                      [](const UpperMany& u, char32_t c) { return u.from < c; });
  if (many != std::end(kUpperMany) && many->from == ch) {
    for (const char32_t c : many->to) {
      if (c != 0) append_utf8(out, c);
    }
    return;
  }
  append_utf8(out, ch);
}

int major_version() { return kUnicodeMajor; }
int minor_version() { return kUnicodeMinor; }

}  // namespace oq::unicode
