#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace oq {

// SipHash with `C` compression and `D` finalization rounds of `bytes` under the 128-bit `key`.
template <int C, int D>
std::uint64_t siphash(const std::array<std::uint64_t, 2>& key, std::string_view bytes);

// The hash every table keyed by caller-supplied text uses: SipHash-1-3 under a key drawn at
// random once per process. Callers cannot choose many texts of one hash without the key, so no
// input can turn a table's constant-time lookups into scans of a long collision chain.
std::size_t text_hash(std::string_view text);

// Whether two texts are byte-equal. Ids and names are short, and comparing a few bytes in place
// costs less than a call.
inline bool same_text(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  if (a.size() > 16) return a == b;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// For unordered containers of std::string keyed by text; finds a string_view without a copy.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const { return text_hash(text); }
};

}  // namespace oq
