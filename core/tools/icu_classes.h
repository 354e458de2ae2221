#pragma once

// ICU's answer for the class bits of unicode_props.h: what the engine's tables are written from
// (unicode_tables.cc) and checked against (unicode_props_test.cc).
#include <unicode/uchar.h>

#include <cstdint>

namespace oq::unicode {

inline std::uint8_t icu_classes(UChar32 c) {
  constexpr std::uint8_t kHiddenBit = 1, kSpaceBit = 2, kXidStartBit = 4, kXidContinueBit = 8;
  std::uint8_t bits = 0;
  switch (u_charType(c)) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_UNASSIGNED:
    case U_SURROGATE:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
    case U_NON_SPACING_MARK:
    case U_ENCLOSING_MARK:
    case U_COMBINING_SPACING_MARK:
      bits |= kHiddenBit;
      break;
    case U_SPACE_SEPARATOR:
      bits |= kSpaceBit;
      break;
    default:
      break;
  }
  if (u_hasBinaryProperty(c, UCHAR_XID_START)) bits |= kXidStartBit;
  if (u_hasBinaryProperty(c, UCHAR_XID_CONTINUE)) bits |= kXidContinueBit;
  return bits;
}

}  // namespace oq::unicode
