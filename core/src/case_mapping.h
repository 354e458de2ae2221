#pragma once

#include <string>
#include <string_view>

namespace oq {

// `text` under the full Unicode upper-case mapping of the root locale (one character may become
// several); a byte that is not UTF-8 becomes U+FFFD.
std::string to_upper(std::string_view text);

}  // namespace oq
