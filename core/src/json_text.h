#pragma once

// How the request reader writes what it read back into its messages: JSON paths, values shown as
// a Python program would print them, and positions in a document.
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace oq::json_text {

// How many characters of a value a message shows before cutting it with "...".
inline constexpr std::size_t kShownChars = 60;

// The shortest text that reads back as `value`, written as Python's repr writes a float:
// "0.5", "100.0", "1e+300", "1.5e-05", "nan", "inf".
std::string float_repr(double value);

// The text of an integer literal as Python prints the integer: "-0" is "0".
std::string integer_repr(std::string_view literal);

// `text` as a JSON string literal. With `ascii`, every character above U+007F is written as
// \uXXXX (a surrogate pair above U+FFFF); otherwise only quotes, backslashes and controls are
// escaped. `text` is WTF-8: a lone surrogate is its three-byte encoding, and is always written
// as \uXXXX, so that what is quoted is UTF-8 whatever it quotes.
std::string quoted(std::string_view text, bool ascii = false);
// The same, appended to `out`.
void append_quoted(std::string& out, std::string_view text, bool ascii = false);

// Whether `name` is an identifier (a letter or underscore, then letters, digits or underscores,
// in Unicode's sense), which a path writes after a dot rather than in brackets.
bool is_identifier(std::string_view name);

// The path of member `name` of the object at `path`: `path.name`, or `path["name"]`.
std::string member_path(std::string_view path, std::string_view name);

// `text` cut to kShownChars characters, the last three being "..." when it was longer.
std::string clipped(std::string text);

// The position of the quote that closes the JSON string whose opening quote is at `open`, or
// the text's size when it does not close.
inline std::size_t string_end(std::string_view json, std::size_t open) {
  for (std::size_t at = open + 1; at < json.size();) {
    const void* found = std::memchr(json.data() + at, '"', json.size() - at);
    if (!found) break;
    const auto quote = static_cast<std::size_t>(static_cast<const char*>(found) - json.data());
    // A quote after an odd number of backslashes is escaped.
    std::size_t slashes = 0;
    while (quote - slashes > open + 1 && json[quote - slashes - 1] == '\\') ++slashes;
    if (slashes % 2 == 0) return quote;
    at = quote + 1;
  }
  return json.size();
}
// "line L column C" of byte `offset` in `document`, both 1-based, columns in characters.
std::string position(std::string_view document, std::size_t offset);

}  // namespace oq::json_text
