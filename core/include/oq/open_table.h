#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace oq {

// The one lookup table under the engine's indexes (gap ids, visited nodes, chain levels): open
// addressing with linear probing, never more than half full, so that a lookup costs constant time
// however many keys there are and filing never allocates per key.
//
// While it holds at most Keys::kFew keys, a key's slot is chosen by a cheap digest of it rather
// than by its full hash: most requests name a handful of gaps and tokens, and for them a keyed
// hash costs more than all the rest of a lookup. A digest anyone can collide is harmless there,
// since a probe can pass no more than kFew keys. Past kFew every key is filed again by its full
// hash, which callers cannot collide.
//
// `Keys` says what a slot holds and how keys compare:
//   kFew                                  how many keys are filed by their digest
//   Slot                                  default-constructed empty
//   Key                                   what lookups are by
//   bool empty(const Slot&) const
//   std::size_t hash(Key) const           the full hash
//   std::size_t digest(Key) const         the cheap one
//   bool same(const Slot&, Key, std::size_t h) const
//                                         whether the slot holds `key`, whose hash or digest (as
//                                         the slot was filed by) is `h`
//   Slot make(Key, std::size_t h, ...) const
//                                         a slot for `key`, filed by `h`
//   std::size_t rehash(Slot&) const       the full hash of the key a slot holds, which the slot
//                                         then carries in place of its digest
template <class Keys>
class OpenTable {
 public:
  using Slot = typename Keys::Slot;
  using Key = typename Keys::Key;
  static constexpr std::size_t kFew = Keys::kFew;

  // An empty table that allocates nothing until its first key is filed.
  OpenTable() = default;
  explicit OpenTable(std::size_t expected, Keys keys = {}) { reset(expected, std::move(keys)); }

  // Empties the table for about `expected` keys, keeping its storage when that suffices. More may
  // be filed; the table then grows.
  void reset(std::size_t expected, Keys keys = {}) {
    keys_ = std::move(keys);
    filed_ = 0;
    by_digest_ = kFew > 0 && expected <= kFew;
    const std::size_t size = std::bit_ceil(std::max<std::size_t>({8, 2 * kFew, 2 * expected}));
    // Only the slots in use are cleared: storage kept from a larger table stays allocated.
    slots_.resize(std::max(slots_.size(), size));
    std::fill_n(slots_.begin(), size, Slot{});
    mask_ = size - 1;
  }

  // Slots in use, empty or not.
  std::size_t slot_count() const { return mask_ + 1; }
  // Whether keys are filed by their full hash (else by their digest).
  bool hashed() const { return !by_digest_; }
  std::size_t bytes() const { return slots_.capacity() * sizeof(Slot); }
  // What `key` is filed by: its digest or its full hash.
  std::size_t hash_of(Key key) const { return by_digest_ ? keys_.digest(key) : keys_.hash(key); }

  // The slot holding `key`, or null.
  const Slot* find(Key key) const { return find_hashed(key, hash_of(key)); }

  // Files a slot made by `keys().make(key, hash, args...)` unless `key` is filed; the slot that
  // holds `key` and whether it was filed now.
  template <class... Args>
  std::pair<const Slot*, bool> insert(Key key, Args&&... args) {
    return insert_hashed(key, hash_of(key), std::forward<Args>(args)...);
  }

  // `find` and `insert` for a key whose hash_of is known.
  const Slot* find_hashed(Key key, std::size_t hash) const {
    if (slots_.empty()) return nullptr;
    for (std::size_t at = hash & mask_;; at = (at + 1) & mask_) {
      const Slot& slot = slots_[at];
      if (keys_.empty(slot)) return nullptr;
      if (keys_.same(slot, key, hash)) return &slot;
    }
  }
  template <class... Args>
  std::pair<const Slot*, bool> insert_hashed(Key key, std::size_t hash, Args&&... args) {
    if (slots_.empty()) reset(0, keys_);
    // Past kFew keys every key is filed by its full hash; at most half the slots are in use.
    const bool full = 2 * (filed_ + 1) > mask_ + 1;
    if (full || (by_digest_ && filed_ == kFew)) {
      rehash_all(full ? 2 * (mask_ + 1) : mask_ + 1);
      hash = hash_of(key);
    }
    for (std::size_t at = hash & mask_;; at = (at + 1) & mask_) {
      Slot& slot = slots_[at];
      if (keys_.empty(slot)) {
        slot = keys_.make(key, hash, std::forward<Args>(args)...);
        ++filed_;
        return {&slot, true};
      }
      if (keys_.same(slot, key, hash)) return {&slot, false};
    }
  }

  // Asks for the slot a key of `hash` is probed from first, ahead of probing it.
  void prefetch(std::size_t hash) const { __builtin_prefetch(&slots_[hash & mask_]); }

 private:
  // Files every key again by its full hash in a table of `size` slots. Rare, and kept out of
  // line so that filing stays small enough to inline.
  [[gnu::cold, gnu::noinline]] void rehash_all(std::size_t size) {
    std::vector<Slot> old(size);
    old.swap(slots_);
    const std::size_t used = mask_ + 1;
    mask_ = size - 1;
    by_digest_ = false;
    for (std::size_t i = 0; i < used; ++i) {
      Slot& slot = old[i];
      if (keys_.empty(slot)) continue;
      std::size_t at = keys_.rehash(slot) & mask_;
      while (!keys_.empty(slots_[at])) at = (at + 1) & mask_;
      slots_[at] = slot;
    }
  }

  Keys keys_{};
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t filed_ = 0;
  bool by_digest_ = kFew > 0;
};

// Keys that are addresses of records (never null), each with a value beside it. An address is
// hashed in a multiplication, which nobody outside can aim, so its digest is its hash.
template <class Value>
struct AddressKeys {
  static constexpr std::size_t kFew = 0;
  struct Slot {
    const void* address = nullptr;
    [[no_unique_address]] Value value{};
  };
  using Key = const void*;

  static bool empty(const Slot& slot) { return slot.address == nullptr; }
  static bool same(const Slot& slot, Key key, std::size_t) { return slot.address == key; }
  static std::size_t hash(Key key) {
    // Records are at least 8-byte aligned: the low bits carry nothing; mix the rest.
    const auto bits = reinterpret_cast<std::uintptr_t>(key) >> 3;
    return static_cast<std::size_t>(bits * 0x9E3779B97F4A7C15ull >> 20);
  }
  static std::size_t digest(Key key) { return hash(key); }
  static std::size_t rehash(const Slot& slot) { return hash(slot.address); }
  static Slot make(Key key, std::size_t, Value value = {}) { return {key, value}; }
};

}  // namespace oq
