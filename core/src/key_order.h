#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace oq {

// The first eight bytes of `key`, zero-padded, as a number that orders like the bytes do.
inline std::uint64_t key_prefix(std::string_view key) {
  unsigned char bytes[8] = {};
  if (!key.empty()) std::memcpy(bytes, key.data(), std::min<std::size_t>(key.size(), 8));
  std::uint64_t prefix = 0;
  for (const unsigned char byte : bytes) prefix = (prefix << 8) | byte;
  return prefix;
}

// Below this many keys, KeyOrder sorts by comparison alone: comparing then costs less than a
// counting pass per byte place.
inline constexpr std::size_t kSortBelow = 256;
// Up to this many keys, KeyOrder sorts by insertion.
inline constexpr std::size_t kInsertionSortMost = 32;

// A key and its position, ordered by key and then by position: the key's first eight bytes as a
// number settle most comparisons without reading the key itself.
struct KeyedPosition {
  std::uint64_t prefix;  // key_prefix(key())
  const char* data;
  std::size_t size;
  std::uint32_t position;

  static KeyedPosition of(std::string_view key, std::uint32_t position) {
    return {key_prefix(key), key.data(), key.size(), position};
  }
  std::string_view key() const { return {data, size}; }
  friend bool operator<(const KeyedPosition& x, const KeyedPosition& y) {
    if (x.prefix != y.prefix) return x.prefix < y.prefix;
    // Equal first eight bytes and a key no longer than eight: that key is the other's start (or
    // the same key), so the shorter one comes first without reading either.
    if (x.size != y.size && (x.size <= 8 || y.size <= 8)) return x.size < y.size;
    const int order = x.size <= 8 ? 0 : rest_order(x, y);
    return order != 0 ? order < 0 : x.position < y.position;
  }
  // The order of two keys of over eight bytes that share their first eight.
  static int rest_order(const KeyedPosition& x, const KeyedPosition& y) {
    return x.key().substr(8).compare(y.key().substr(8));
  }
  // Whether `x` and `y` hold byte-equal keys; keys of up to eight bytes are told apart by their
  // prefixes and sizes alone.
  friend bool same_key(const KeyedPosition& x, const KeyedPosition& y) {
    return x.prefix == y.prefix && x.size == y.size &&
           (x.size <= 8 || std::memcmp(x.data + 8, y.data + 8, x.size - 8) == 0);
  }
};

// The number of distinct keys in `sorted`, entries ordered by key: one per run of equal keys.
inline std::size_t count_runs(std::span<const KeyedPosition> sorted) {
  std::size_t runs = 0;
  for (std::size_t i = 0; i < sorted.size(); ++i)
    runs += i == 0 || !same_key(sorted[i - 1], sorted[i]);
  return runs;
}

// Orders keys, keeping its room for the next time: once it has ordered as many keys, ordering
// allocates nothing.
class KeyOrder {
 public:
  // The positions 0..count-1 with their keys `key_of(position)`, a string_view compared byte by
  // byte (as std::string_view compares), ordered by key and, among equal keys, by position; valid
  // until the next call, and the keys must outlive it. Many keys are ordered in time linear in
  // `count` when they differ within their first eight bytes: each key's first eight bytes are
  // sorted as a number, by a radix sort that reads only the contiguous sort entries and not the
  // keys' scattered storage, and keys that share those bytes are then ordered among themselves
  // by comparison. Fewer than kSortBelow are sorted by comparison alone.
  template <class KeyOf>
  std::span<const KeyedPosition> sort(std::size_t count, KeyOf key_of) {
    // A key returned by value would be gone before it is compared.
    static_assert(std::is_same_v<std::invoke_result_t<KeyOf&, std::uint32_t>, std::string_view>,
                  "key_of must return a std::string_view into storage that outlives the call");
    entries_.clear();
    entries_.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      entries_.push_back(KeyedPosition::of(key_of(i), i));
    }
    if (count <= kInsertionSortMost) {
      // A handful: an insertion sort, which beats everything else at this size.
      for (std::size_t i = 1; i < count; ++i) {
        const KeyedPosition entry = entries_[i];
        std::size_t at = i;
        for (; at > 0 && entry < entries_[at - 1]; --at) entries_[at] = entries_[at - 1];
        entries_[at] = entry;
      }
    } else if (count < kSortBelow) {
      std::sort(entries_.begin(), entries_.end());
    } else {
      radix_sort();
    }
    return entries_;
  }

  // The room kept, in bytes.
  std::size_t bytes() const {
    return (entries_.capacity() + spare_.capacity()) * sizeof(KeyedPosition);
  }

 private:
  void radix_sort() {
    spare_.resize(entries_.size());
    if (sort_places(entries_, spare_, 7)) entries_.swap(spare_);
    // Keys that share their first eight bytes, now side by side and still in position order, by
    // comparison.
    for (auto run = entries_.begin(); run != entries_.end();) {
      const auto end = std::find_if(run, entries_.end(), [&](const KeyedPosition& entry) {
        return entry.prefix != run->prefix;
      });
      if (end - run > 1) std::sort(run, end);
      run = end;
    }
  }

  // Up to this many entries are sorted least significant byte first: with the room they move
  // through, they stay in a core's own cache for every pass.
  static constexpr std::size_t kCachedMost = 8192;

  static unsigned byte_at(const KeyedPosition& entry, int place) {
    return static_cast<unsigned>(entry.prefix >> (8 * place)) & 0xff;
  }

  // Sorts `data` stably by the bytes of their prefixes at places `top` down to 0 (place 7 is a
  // key's first byte), moving entries through `room`, which is as long; whether the result lies
  // in `room` rather than in `data`. Only the places where the entries' bytes differ are sorted
  // on, or even counted. A range too large to stay cached is first split by its most significant
  // such place, and each part sorted on its own, so that the many passes of a radix sort run over
  // cached entries whatever the number of keys.
  static bool sort_places(std::span<KeyedPosition> data, std::span<KeyedPosition> room, int top) {
    if (data.size() < kSortBelow) {
      std::sort(data.begin(), data.end());
      return false;
    }
    std::uint64_t differing = 0;  // the bits in which some entry's prefix differs from the first's
    for (const KeyedPosition& entry : data) differing |= entry.prefix ^ data[0].prefix;
    const auto differs = [&](int place) { return ((differing >> (8 * place)) & 0xff) != 0; };
    while (top >= 0 && !differs(top)) --top;
    if (top < 0) return false;
    if (data.size() > kCachedMost) {
      std::array<std::uint32_t, 257> begin{};
      for (const KeyedPosition& entry : data) ++begin[byte_at(entry, top) + 1];
      for (unsigned value = 0; value < 256; ++value) begin[value + 1] += begin[value];
      std::array<std::uint32_t, 256> next;
      std::copy(begin.begin(), begin.end() - 1, next.begin());
      for (const KeyedPosition& entry : data) room[next[byte_at(entry, top)]++] = entry;
      // Each part is sorted while cached, and moved back into `room` if it ended in `data`.
      for (unsigned value = 0; value < 256; ++value) {
        const std::size_t size = begin[value + 1] - begin[value];
        const auto part = room.subspan(begin[value], size);
        const auto part_room = data.subspan(begin[value], size);
        if (size > 1 && sort_places(part, part_room, top - 1)) {
          std::copy(part_room.begin(), part_room.end(), part.begin());
        }
      }
      return true;
    }
    std::array<int, 8> places;
    std::size_t place_count = 0;
    for (int place = 0; place <= top; ++place) {
      if (differs(place)) places[place_count++] = place;
    }
    std::array<std::array<std::uint32_t, 256>, 8> counts;
    for (std::size_t k = 0; k < place_count; ++k) counts[k].fill(0);
    for (const KeyedPosition& entry : data) {
      for (std::size_t k = 0; k < place_count; ++k) ++counts[k][byte_at(entry, places[k])];
    }
    bool in_room = false;
    for (std::size_t k = 0; k < place_count; ++k) {
      auto& at = counts[k];
      std::uint32_t next = 0;
      for (std::uint32_t& slot : at) next += std::exchange(slot, next);
      const auto from = in_room ? room : data;
      const auto to = in_room ? data : room;
      for (const KeyedPosition& entry : from) to[at[byte_at(entry, places[k])]++] = entry;
      in_room = !in_room;
    }
    return in_room;
  }

  std::vector<KeyedPosition> entries_;
  std::vector<KeyedPosition> spare_;
};

}  // namespace oq
