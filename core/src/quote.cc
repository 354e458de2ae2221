#include "oq/quote.h"

#include <charconv>

#include "unicode_props.h"
#include "utf8.h"

namespace oq {

namespace {

// Control, format, unassigned, separator-of-line-or-paragraph and combining characters are shown
// as escapes so that a quoted text never hides or reorders what surrounds it.
bool is_printable(char32_t ch) { return (unicode::classes(ch) & unicode::kHidden) == 0; }

void append_hex_escape(std::string& out, char32_t ch) {
  char digits[8];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, static_cast<uint32_t>(ch), 16);
  out += "\\u{";
  out.append(digits, end);
  out += '}';
}

// Appends `ch` with the shared escapes; `quote` is the delimiter that must be escaped.
void append_escaped(std::string& out, char32_t ch, char quote) {
  switch (ch) {
    case '\\':
      out += "\\\\";
      return;
    case '\t':
      out += "\\t";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\0':
      out += "\\0";
      return;
    default:
      break;
  }
  if (ch == static_cast<char32_t>(quote)) {
    out += '\\';
    out += quote;
  } else if (is_printable(ch)) {
    append_utf8(out, ch);
  } else {
    append_hex_escape(out, ch);
  }
}

}  // namespace

void append_quoted(std::string& out, std::string_view s) {
  out += '"';
  for (std::size_t pos = 0; pos < s.size();) {
    const auto byte = static_cast<unsigned char>(s[pos]);
    if (byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\') {
      out += static_cast<char>(byte);
      ++pos;
      continue;
    }
    append_escaped(out, next_scalar(s, pos), '"');
  }
  out += '"';
}

void append_unquoted(std::string& out, std::string_view s) {
  for (std::size_t pos = 0; pos < s.size();) {
    const auto byte = static_cast<unsigned char>(s[pos]);
    if (byte > 0x20 && byte < 0x7F && byte != '"' && byte != '\\') {
      out += static_cast<char>(byte);
      ++pos;
      continue;
    }
    const char32_t ch = next_scalar(s, pos);
    if ((unicode::classes(ch) & unicode::kSpace) != 0) {
      append_hex_escape(out, ch);
    } else {
      append_escaped(out, ch, '"');
    }
  }
}

std::string quote_string(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  append_quoted(out, s);
  return out;
}

std::string quote_char(char32_t ch) {
  std::string out = "'";
  append_escaped(out, ch, '\'');
  out += '\'';
  return out;
}

}  // namespace oq
