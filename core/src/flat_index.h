#pragma once

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <utility>

#include "oq/open_table.h"
#include "oq/text_hash.h"

namespace oq {

// The bits of what a text key is filed by that its slot keeps as its tag; the low bits pick the
// slot.
inline std::uint32_t hash_tag(std::size_t hash) {
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(hash) >> 32);
}

// How a FlatIndex holds its keys: as views in the slots.
struct ViewKeys {
  struct Slot {
    const char* data = nullptr;
    std::uint32_t size = 0;
    std::uint32_t position = UINT32_MAX;
    std::uint32_t tag = 0;
  };
  using Key = std::string_view;

  std::string_view key(const Slot& slot) const { return {slot.data, slot.size}; }
  Slot make(std::string_view key, std::size_t hash, std::uint32_t position) const {
    return {key.data(), static_cast<std::uint32_t>(key.size()), position, hash_tag(hash)};
  }
};

// How a PositionIndex holds its keys: by position alone, each key found again through `KeyOf`.
template <class KeyOf>
struct PositionKeys {
  struct Slot {
    std::uint32_t position = UINT32_MAX;
    std::uint32_t tag = 0;
  };
  using Key = std::string_view;

  std::string_view key(const Slot& slot) const { return key_of(slot.position); }
  Slot make(std::string_view, std::size_t hash, std::uint32_t position) const {
    return {position, hash_tag(hash)};
  }
  KeyOf key_of{};
};

// What every text key policy shares: a slot holds a filed position and a tag (32 bits of what the
// key is filed by, so that a probe passing another key's slot rejects it without reading that
// key, which may lie anywhere in memory). The full hash is SipHash under the process key
// (text_hash), so that callers cannot collide keys; the digest of few keys is their length and
// end bytes, since the ids of one request tend to share a prefix or a length, rarely all of these.
template <class Holder>
struct TextKeys : Holder {
  static constexpr std::size_t kFew = 16;
  using typename Holder::Slot;
  static bool empty(const Slot& slot) { return slot.position == UINT32_MAX; }
  bool same(const Slot& slot, std::string_view key, std::size_t hash) const {
    return slot.tag == hash_tag(hash) && same_text(this->key(slot), key);
  }
  static std::size_t hash(std::string_view key) { return text_hash(key); }
  // The tag is the length and end bytes exactly; the slot is chosen by them mixed.
  static std::size_t digest(std::string_view key) {
    const std::size_t n = key.size();
    std::uint64_t ends = n << 24;
    if (n != 0) {
      const auto byte = [&](std::size_t i) {
        return std::uint64_t{static_cast<std::uint8_t>(key[i])};
      };
      ends |= byte(0) << 16 | (n > 1 ? byte(n - 2) << 8 : 0) | byte(n - 1);
    }
    return static_cast<std::size_t>(ends << 32 | (ends * 0x9E3779B97F4A7C15ull) >> 40);
  }
  std::size_t rehash(Slot& slot) const {
    const std::size_t hash = text_hash(this->key(slot));
    slot.tag = hash_tag(hash);
    return hash;
  }
};

// Positions of strings by content, on an OpenTable: a few keys are compared, more are hashed.
// `Keys` says how a slot holds its key (see FlatIndex and PositionIndex below); what the keys view
// must outlive the index.
template <class Keys>
class BasicFlatIndex {
 public:
  static constexpr std::uint32_t kAbsent = UINT32_MAX;

  BasicFlatIndex() = default;
  explicit BasicFlatIndex(std::size_t expected, Keys keys = {}) { reset(expected, keys); }

  // Empties the index and sizes it for `expected` keys, keeping its storage when that suffices.
  // More keys may be filed; the table then grows.
  void reset(std::size_t expected, Keys keys = {}) { table_.reset(expected, TextKeys<Keys>{keys}); }
  std::size_t bytes() const { return table_.bytes(); }
  // Whether looking up `count` keys at once fetches their slots ahead: only in a table too large
  // to stay in the caches.
  bool prefetches(std::size_t count) const {
    return count >= kBatch && table_.hashed() && table_.slot_count() >= kSmallTable;
  }

  // Files `key` at `position` unless it is already filed; returns the position filed under `key`
  // and whether it was filed now.
  std::pair<std::uint32_t, bool> emplace(std::string_view key, std::uint32_t position) {
    const auto [slot, fresh] = table_.insert(key, position);
    return {slot->position, fresh};
  }

  // The position filed under `key`, or kAbsent.
  std::uint32_t find(std::string_view key) const {
    const auto* slot = table_.find(key);
    return slot ? slot->position : kAbsent;
  }

  // Files keys 0..count-1 in order as `emplace` does, calling `filed(i, {position, fresh})` for
  // each until it returns false. With a large table the slots of a batch of keys are fetched
  // before any is probed, so that the misses overlap instead of adding up.
  template <class KeyAt, class Filed>
  void emplace_all(std::size_t count, KeyAt key_at, Filed filed) {
    for_each_hashed(count, key_at, [&](std::size_t i, std::string_view key, std::size_t hash) {
      return filed(i, emplace_hashed(key, hash, static_cast<std::uint32_t>(i)));
    });
  }

  // Finds keys 0..count-1 in order, calling `found(i, position or kAbsent)` for each until it
  // returns false; batched as `emplace_all` is.
  template <class KeyAt, class Found>
  void find_all(std::size_t count, KeyAt key_at, Found found) const {
    for_each_hashed(count, key_at, [&](std::size_t i, std::string_view key, std::size_t hash) {
      return found(i, find_hashed(key, hash));
    });
  }

  // Calls `visit(i, key, hash)` for keys 0..count-1 in order until it returns false, the hash
  // being what the index files the key by when it is visited. With a large table the first slots
  // of a batch of keys are fetched before any of them is visited.
  template <class KeyAt, class Visit>
  void for_each_hashed(std::size_t count, KeyAt key_at, Visit visit) const {
    if (!prefetches(count)) {
      for (std::size_t i = 0; i < count; ++i) {
        const std::string_view key = key_at(i);
        if (!visit(i, key, table_.hash_of(key))) return;
      }
      return;
    }
    std::size_t hashes[kBatch];
    for (std::size_t start = 0; start < count; start += kBatch) {
      const std::size_t n = std::min(kBatch, count - start);
      for (std::size_t i = 0; i < n; ++i) {
        hashes[i] = text_hash(key_at(start + i));
        table_.prefetch(hashes[i]);
      }
      for (std::size_t i = 0; i < n; ++i) {
        if (!visit(start + i, key_at(start + i), hashes[i])) return;
      }
    }
  }

  // `emplace` and `find` for a key whose hash, as `for_each_hashed` gives it, is known.
  std::pair<std::uint32_t, bool> emplace_hashed(std::string_view key, std::size_t hash,
                                                std::uint32_t position) {
    const auto [slot, fresh] = table_.insert_hashed(key, hash, position);
    return {slot->position, fresh};
  }
  std::uint32_t find_hashed(std::string_view key, std::size_t hash) const {
    const auto* slot = table_.find_hashed(key, hash);
    return slot ? slot->position : kAbsent;
  }

 private:
  static constexpr std::size_t kBatch = 16;
  static constexpr std::size_t kSmallTable = 4096;  // slots

  OpenTable<TextKeys<Keys>> table_;
};

// Keys held as views in 24-byte slots: any strings that outlive the index.
using FlatIndex = BasicFlatIndex<ViewKeys>;

// Keys known by their position: `KeyOf` maps a filed position back to its key, so a slot holds
// only the position and 32 bits of the hash. At 8 bytes a slot, a third of FlatIndex's, a table
// of many keys is more likely to stay cached. Filed positions must be distinct.
template <class KeyOf>
using PositionIndex = BasicFlatIndex<PositionKeys<KeyOf>>;

}  // namespace oq
