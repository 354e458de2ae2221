#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace oq {

// Decodes the scalar value starting at `pos` and advances `pos` past it. Malformed input decodes
// to U+FFFD one byte at a time, so every byte string can be walked.
char32_t next_scalar(std::string_view text, std::size_t& pos);

// Whether `text` is well-formed UTF-8.
bool is_valid_utf8(std::string_view text);

// Appends the UTF-8 encoding of `ch` to `out`.
void append_utf8(std::string& out, char32_t ch);

}  // namespace oq
