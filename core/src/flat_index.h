#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

#include "text_hash.h"

namespace oq {

// How a FlatIndex holds its keys: as views in the slots.
struct ViewKeys {
  struct Slot {
    const char* data = nullptr;
    std::uint32_t size = 0;
    std::uint32_t position = UINT32_MAX;
    std::uint32_t tag = 0;
  };
  static Slot slot(std::string_view key, std::uint32_t position, std::uint32_t tag) {
    return {key.data(), static_cast<std::uint32_t>(key.size()), position, tag};
  }
  std::string_view key(const Slot& slot) const { return {slot.data, slot.size}; }
};

// How a PositionIndex holds its keys: by position alone, each key found again through `KeyOf`.
template <class KeyOf>
struct PositionKeys {
  struct Slot {
    std::uint32_t position = UINT32_MAX;
    std::uint32_t tag = 0;
  };
  static Slot slot(std::string_view, std::uint32_t position, std::uint32_t tag) {
    return {position, tag};
  }
  std::string_view key(const Slot& slot) const { return key_of(slot.position); }
  KeyOf key_of{};
};

// Positions of strings by content: one flat open-addressing table, sized for the number of keys
// expected so that filing and finding never allocate per key (it grows if more come). `Keys`
// says how a slot holds its key (see FlatIndex and PositionIndex below); what the keys view must
// outlive the index.
template <class Keys>
class BasicFlatIndex {
 public:
  static constexpr std::uint32_t kAbsent = UINT32_MAX;

  BasicFlatIndex() = default;
  explicit BasicFlatIndex(std::size_t expected, Keys keys = {}) { reset(expected, keys); }

  // Empties the index and sizes it for `expected` keys, keeping its storage when that suffices.
  // More keys may be filed; the table then grows.
  void reset(std::size_t expected, Keys keys = {}) {
    keys_ = keys;
    slots_.assign(std::bit_ceil(std::max<std::size_t>(8, 2 * expected)), Slot{});
    mask_ = slots_.size() - 1;
    filed_ = 0;
  }
  std::size_t bytes() const { return slots_.capacity() * sizeof(Slot); }

  // Files `key` at `position` unless it is already filed; returns the position filed under `key`
  // and whether it was filed now.
  std::pair<std::uint32_t, bool> emplace(std::string_view key, std::uint32_t position) {
    return emplace_hashed(key, hash_of(key), position);
  }

  // The position filed under `key`, or kAbsent.
  std::uint32_t find(std::string_view key) const {
    if (slots_.empty()) return kAbsent;
    return find_hashed(key, hash_of(key));
  }

  // Files keys 0..count-1 in order as `emplace` does, calling `filed(i, {position, fresh})` for
  // each until it returns false. The slots of a batch of keys are fetched before any is probed,
  // so that with a table larger than the caches the misses overlap instead of adding up.
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

  // Calls `visit(i, key, hash_of(key))` for keys 0..count-1 in order until it returns false,
  // having fetched the first slots of a batch of keys before visiting any of them: with a table
  // larger than the caches, the misses of a batch overlap instead of adding up.
  template <class KeyAt, class Visit>
  void for_each_hashed(std::size_t count, KeyAt key_at, Visit visit) const {
    if (count < kBatch || slots_.size() < kSmallTable) {
      // A table this small stays in the caches: fetching ahead would cost more than it saves.
      for (std::size_t i = 0; i < count; ++i) {
        const std::string_view key = key_at(i);
        if (!visit(i, key, hash_of(key))) return;
      }
      return;
    }
    std::size_t hashes[kBatch];
    for (std::size_t start = 0; start < count; start += kBatch) {
      const std::size_t n = std::min(kBatch, count - start);
      for (std::size_t i = 0; i < n; ++i) {
        hashes[i] = hash_of(key_at(start + i));
        prefetch(hashes[i]);
      }
      for (std::size_t i = 0; i < n; ++i) {
        if (!visit(start + i, key_at(start + i), hashes[i])) return;
      }
    }
  }

  // `emplace` and `find` for a key whose hash, as `for_each_hashed` gives it, is known.
  std::pair<std::uint32_t, bool> emplace_hashed(std::string_view key, std::size_t hash,
                                                std::uint32_t position) {
    // At most half the slots are filled, so that a probe always ends at an empty one soon.
    if (2 * (filed_ + 1) > slots_.size()) grow();
    const std::uint32_t tag = tag_of(hash);
    for (std::size_t at = hash & mask_;; at = (at + 1) & mask_) {
      Slot& slot = slots_[at];
      if (slot.position == kAbsent) {
        slot = Keys::slot(key, position, tag);
        ++filed_;
        return {position, true};
      }
      if (slot.tag == tag && keys_.key(slot) == key) return {slot.position, false};
    }
  }

  std::uint32_t find_hashed(std::string_view key, std::size_t hash) const {
    if (slots_.empty()) return kAbsent;
    const std::uint32_t tag = tag_of(hash);
    for (std::size_t at = hash & mask_;; at = (at + 1) & mask_) {
      const Slot& slot = slots_[at];
      if (slot.position == kAbsent) return kAbsent;
      if (slot.tag == tag && keys_.key(slot) == key) return slot.position;
    }
  }

 private:
  static constexpr std::size_t kBatch = 16;
  static constexpr std::size_t kSmallTable = 4096;  // slots

  static std::size_t hash_of(std::string_view key) { return text_hash(key); }
  // Asks for the slot a key of hash `hash` is probed from first, ahead of probing it.
  void prefetch(std::size_t hash) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[hash & mask_]);
  }

  // Bits of the hash kept in each slot, so that a probe passing another key's slot rejects it
  // without reading that key, which may lie anywhere in memory. The low bits pick the slot.
  static std::uint32_t tag_of(std::size_t hash) {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(hash) >> 32);
  }

  // Doubles the table (or makes the first one), filing every key again. Rare, and kept out of
  // line so that filing stays small enough to inline.
  [[gnu::cold, gnu::noinline]] void grow() {
    std::vector<Slot> old(std::max<std::size_t>(8, 2 * slots_.size()));
    old.swap(slots_);
    mask_ = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.position == kAbsent) continue;
      std::size_t at = hash_of(keys_.key(slot)) & mask_;
      while (slots_[at].position != kAbsent) at = (at + 1) & mask_;
      slots_[at] = slot;
    }
  }

  using Slot = typename Keys::Slot;
  Keys keys_{};
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t filed_ = 0;
};

// Keys held as views in 24-byte slots: any strings that outlive the index.
using FlatIndex = BasicFlatIndex<ViewKeys>;

// Keys known by their position: `KeyOf` maps a filed position back to its key, so a slot holds
// only the position and 32 bits of the hash. At 8 bytes a slot, a third of FlatIndex's, a table
// of many keys is more likely to stay cached. Filed positions must be distinct.
template <class KeyOf>
using PositionIndex = BasicFlatIndex<PositionKeys<KeyOf>>;

}  // namespace oq
