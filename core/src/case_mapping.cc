#include "case_mapping.h"

#include "unicode_props.h"
#include "utf8.h"

namespace oq {

std::string to_upper(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (byte < 0x80) {
      out += static_cast<char>(byte >= 'a' && byte <= 'z' ? byte - 'a' + 'A' : byte);
      ++pos;
      continue;
    }
    unicode::append_upper(out, next_scalar(text, pos));
  }
  return out;
}

}  // namespace oq
