#include "json_text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "unicode_props.h"
#include "utf8.h"

namespace oq::json_text {

std::string float_repr(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  std::array<char, 40> buffer{};
  const auto end = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                 std::chars_format::scientific)
                       .ptr;
  const std::string_view text(buffer.data(), static_cast<std::size_t>(end - buffer.data()));
  // text is [-]d[.ddd]e±XX: the shortest digits that read back as the value.
  const std::size_t e = text.find('e');
  const bool negative = text.front() == '-';
  std::string digits;
  for (const char c : text.substr(negative ? 1 : 0, e - (negative ? 1 : 0))) {
    if (c != '.') digits += c;
  }
  int exponent = 0;
  std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(),
                  exponent);
  std::string out;
  if (negative) out.push_back('-');
  if (exponent < -4 || exponent >= 16) {
    out.append(digits, 0, 1);
    if (digits.size() > 1) out.append(1, '.').append(digits, 1);
    std::array<char, 16> exp{};
    std::snprintf(exp.data(), exp.size(), "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
    return out.append(exp.data());
  }
  if (exponent < 0) {
    return out.append("0.").append(static_cast<std::size_t>(-exponent - 1), '0').append(digits);
  }
  const auto whole = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= whole)
    return out.append(digits).append(whole - digits.size(), '0').append(".0");
  return out.append(digits, 0, whole).append(1, '.').append(digits, whole);
}

std::string integer_repr(std::string_view literal) {
  if (literal == "-0") return "0";
  return std::string(literal);
}

std::string quoted(std::string_view text, bool ascii) {
  std::string out;
  out.reserve(text.size() + 2);
  append_quoted(out, text, ascii);
  return out;
}

void append_quoted(std::string& out, std::string_view text, bool ascii) {
  out += '"';
  // Most text needs no escape at all: it is copied whole.
  const bool plain = std::none_of(text.begin(), text.end(), [ascii](char c) {
    const auto byte = static_cast<unsigned char>(c);
    // 0xED leads both the surrogates and U+D000..U+D7FF: the loop below tells them apart.
    return byte < 0x20 || c == '"' || c == '\\' || byte == 0xED || (ascii && byte >= 0x80);
  });
  if (plain) {
    out.append(text).append(1, '"');
    return;
  }
  const auto escape = [&out](char32_t unit) {
    std::array<char, 16> hex{};
    std::snprintf(hex.data(), hex.size(), "\\u%04x", static_cast<unsigned>(unit));
    out += hex.data();
  };
  for (std::size_t pos = 0; pos < text.size();) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (byte < 0x80) {
      ++pos;
      switch (byte) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\b':
          out += "\\b";
          break;
        case '\f':
          out += "\\f";
          break;
        default:
          if (byte < 0x20) {
            escape(byte);
          } else {
            out += static_cast<char>(byte);
          }
      }
      continue;
    }
    const std::size_t start = pos;
    char32_t ch = 0;
    if (byte == 0xED && pos + 2 < text.size() &&
        (static_cast<unsigned char>(text[pos + 1]) & 0xE0) == 0xA0) {
      // A lone surrogate, as WTF-8 holds it.
      ch = ((byte & 0x0Fu) << 12) | ((static_cast<unsigned char>(text[pos + 1]) & 0x3Fu) << 6) |
           (static_cast<unsigned char>(text[pos + 2]) & 0x3Fu);
      pos += 3;
    } else {
      ch = next_scalar(text, pos);
    }
    const bool surrogate = ch >= 0xD800 && ch <= 0xDFFF;
    if (!ascii && !surrogate) {
      out.append(text.substr(start, pos - start));
    } else if (ch > 0xFFFF) {
      escape(0xD800 + ((ch - 0x10000) >> 10));
      escape(0xDC00 + ((ch - 0x10000) & 0x3FF));
    } else {
      escape(ch);
    }
  }
  out += '"';
}

bool is_identifier(std::string_view name) {
  if (name.empty()) return false;
  std::size_t pos = 0;
  bool first = true;
  while (pos < name.size()) {
    const char32_t ch = next_scalar(name, pos);
    const std::uint8_t bits = unicode::classes(ch);
    const bool ok = first ? (ch == U'_' || (bits & unicode::kXidStart) != 0)
                          : (bits & unicode::kXidContinue) != 0;
    if (!ok) return false;
    first = false;
  }
  return true;
}

std::string member_path(std::string_view path, std::string_view name) {
  std::string out(path);
  if (is_identifier(name)) return out.append(".").append(name);
  return out.append("[").append(quoted(name)).append("]");
}

std::string clipped(std::string text) {
  std::size_t chars = 0;
  std::size_t cut = 0;  // the byte offset after kShownChars - 3 characters
  for (std::size_t pos = 0; pos < text.size();) {
    next_scalar(text, pos);
    if (++chars == kShownChars - 3) cut = pos;
    if (chars > kShownChars) {
      text.resize(cut);
      return text + "...";
    }
  }
  return text;
}

std::string position(std::string_view document, std::size_t offset) {
  offset = std::min(offset, document.size());
  const std::string_view before = document.substr(0, offset);
  std::size_t line = 1;
  for (const char c : before) line += c == '\n' ? 1 : 0;
  const std::size_t newline = before.rfind('\n');
  const std::string_view last =
      newline == std::string_view::npos ? before : before.substr(newline + 1);
  std::size_t column = 1;
  for (std::size_t pos = 0; pos < last.size(); ++column) next_scalar(last, pos);
  return "line " + std::to_string(line) + " column " + std::to_string(column);
}

}  // namespace oq::json_text
