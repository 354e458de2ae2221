#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <vector>

namespace oq {

// The first eight bytes of `key`, zero-padded, as a number that orders like the bytes do.
inline std::uint64_t key_prefix(std::string_view key) {
  unsigned char bytes[8] = {};
  std::memcpy(bytes, key.data(), std::min<std::size_t>(key.size(), 8));
  std::uint64_t prefix = 0;
  for (const unsigned char byte : bytes) prefix = (prefix << 8) | byte;
  return prefix;
}

// The positions 0..count-1 ordered by `key_of(position)`, a string_view compared byte by byte
// (as std::string_view compares). Each key's first eight bytes sit in the sort entry itself, so
// most comparisons touch only the contiguous entries and not the keys' scattered storage. Equal
// keys keep no particular order; the keys must outlive the call.
template <class KeyOf>
std::vector<std::uint32_t> order_by_key(std::size_t count, KeyOf key_of) {
  // A key returned by value would be gone before it is compared.
  static_assert(std::is_same_v<std::invoke_result_t<KeyOf&, std::uint32_t>, std::string_view>,
                "key_of must return a std::string_view into storage that outlives the call");
  struct Entry {
    std::uint64_t prefix;
    std::string_view key;
    std::uint32_t position;
  };
  std::vector<Entry> entries;
  entries.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::string_view key = key_of(i);
    entries.push_back({key_prefix(key), key, i});
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& x, const Entry& y) {
    if (x.prefix != y.prefix) return x.prefix < y.prefix;
    return x.key < y.key;
  });
  std::vector<std::uint32_t> order;
  order.reserve(count);
  for (const Entry& entry : entries) order.push_back(entry.position);
  return order;
}

}  // namespace oq
