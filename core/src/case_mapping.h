#pragma once

#include <string>
#include <string_view>

namespace oq {

// `text` under the full Unicode upper-case mapping (one character may become several).
std::string to_upper(std::string_view text);

}  // namespace oq
