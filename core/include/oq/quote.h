#pragma once

#include <string>
#include <string_view>

namespace oq {

// `s` between double quotes with quotes, backslashes and non-printable characters escaped.
std::string quote_string(std::string_view s);

// `ch` between single quotes, escaped like `quote_string` except that `'` is escaped and `"` not.
std::string quote_char(char32_t ch);

// Appends `quote_string(s)` to `out`.
void append_quoted(std::string& out, std::string_view s);

// Appends `s` unquoted, for a "name=value" field of a one-line message: escaped as `quote_string`
// escapes it, and any space (U+0020 and the other space separators) or double quote as well, so
// that the value can neither end the line nor start another field or a quoted value. Text without
// any of these is appended unchanged.
void append_unquoted(std::string& out, std::string_view s);

}  // namespace oq
