#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace oq {

// The deepest nesting of arrays and objects a details payload may have.
inline constexpr std::size_t kMaxDetailsDepth = 128;

// One JSON value from `text`, surrounding whitespace allowed; a later duplicate key replaces an
// earlier one. The error describes the first fault and ends in " at line L column C" (1-based,
// columns in bytes). Never recurses, however deep the input.
std::expected<nlohmann::json, std::string> parse_details(std::string_view text);

// Compact JSON text of `value`: keys in ascending byte order, non-ASCII written as UTF-8, any
// ill-formed UTF-8 in a string written as U+FFFD.
std::string dump_details(const nlohmann::json& value);

}  // namespace oq
