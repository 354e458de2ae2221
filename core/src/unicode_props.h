#pragma once

// What the engine needs of the Unicode character database, from tables generated once from one
// pinned version of it (unicode_tables.inc): which characters a message shows escaped, which
// separate words, which may start or continue an identifier, and upper-case mappings.
#include <cstdint>
#include <string>

namespace oq::unicode {

// The class bits of a character.
inline constexpr std::uint8_t kHidden = 1;    // control, format, unassigned, surrogate, separator
                                              // of lines or paragraphs, or a combining mark
inline constexpr std::uint8_t kSpace = 2;     // a space separator (general category Zs)
inline constexpr std::uint8_t kXidStart = 4;  // may start an identifier
inline constexpr std::uint8_t kXidContinue = 8;  // may continue one

// The class bits of `ch` (any value up to U+10FFFF; ASCII as the tables were read too).
std::uint8_t classes(char32_t ch);

// Appends the full upper-case mapping of `ch` (one, two or three characters) in UTF-8.
void append_upper(std::string& out, char32_t ch);

// The version of Unicode the tables were read from.
int major_version();
int minor_version();

}  // namespace oq::unicode
