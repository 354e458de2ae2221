#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace oq {

// The one lookup table under the engine's indexes (gap ids, visited nodes, chain levels).
//
// The first Keys::kFew entries lie in filing order at the front of the slots and are found by
// comparing keys, with no hashing at all: most requests name a handful of gaps and tokens, and
// for them a hash costs more than the comparisons it would save. Past them the slots become an
// open-addressing table with linear probing, never more than half full, so that a lookup costs
// constant time however many keys there are, and filing never allocates per key.
//
// `Keys` says what a slot holds and how keys compare:
//   kFew                                  how many keys are compared before they are hashed
//   Slot                                  default-constructed empty
//   Key                                   what lookups are by
//   bool empty(const Slot&) const
//   std::size_t hash(Key) const           the full hash, for the table
//   std::size_t quick(Key) const          a cheap digest, for comparing few keys
//   bool same(const Slot&, Key, std::size_t h) const
//                                         whether the slot holds `key`, whose hash or quick
//                                         digest (as the slot was made with) is `h`
//   Slot make(Key, std::size_t h, ...) const
//                                         a slot for `key`
//   std::size_t rehash(Slot&) const       the full hash of the key a slot holds, which the slot
//                                         is made to carry in place of its quick digest
template <class Keys>
class OpenTable {
 public:
  using Slot = typename Keys::Slot;
  using Key = typename Keys::Key;
  static constexpr std::size_t kFew = Keys::kFew;

  OpenTable() = default;
  explicit OpenTable(std::size_t expected, Keys keys = {}) { reset(expected, std::move(keys)); }

  // Empties the table for about `expected` keys, keeping its storage when that suffices. More may
  // be filed; the table then grows.
  void reset(std::size_t expected, Keys keys = {}) {
    keys_ = std::move(keys);
    filed_ = 0;
    if (expected <= kFew && kFew > 0) {
      // Only the first `filed_` slots are read while keys are compared: nothing to clear.
      mask_ = 0;
      if (slots_.size() < kFew) slots_.resize(kFew);
      return;
    }
    slots_.assign(std::bit_ceil(std::max<std::size_t>(8, 2 * expected)), Slot{});
    mask_ = slots_.size() - 1;
  }

  std::size_t size() const { return filed_; }
  // Whether keys are hashed (else compared in filing order).
  bool hashed() const { return mask_ != 0; }
  std::size_t bytes() const { return slots_.capacity() * sizeof(Slot); }
  const Keys& keys() const { return keys_; }

  // The slot holding `key`, or null.
  const Slot* find(Key key) const {
    if (hashed()) return find_hashed(key, keys_.hash(key));
    const std::size_t quick = keys_.quick(key);
    for (std::size_t i = 0; i < filed_; ++i) {
      if (keys_.same(slots_[i], key, quick)) return &slots_[i];
    }
    return nullptr;
  }

  // Files a slot made by `keys().make(key, hash, args...)` unless `key` is filed; the slot that
  // holds `key` and whether it was filed now.
  template <class... Args>
  std::pair<const Slot*, bool> insert(Key key, Args&&... args) {
    if (hashed() || kFew == 0) {
      return insert_hashed(key, keys_.hash(key), std::forward<Args>(args)...);
    }
    const std::size_t quick = keys_.quick(key);
    for (std::size_t i = 0; i < filed_; ++i) {
      if (keys_.same(slots_[i], key, quick)) return {&slots_[i], false};
    }
    if (filed_ < kFew) {
      if (slots_.size() < kFew) slots_.resize(kFew);
      slots_[filed_] = keys_.make(key, quick, std::forward<Args>(args)...);
      return {&slots_[filed_++], true};
    }
    grow();
    return insert_hashed(key, keys_.hash(key), std::forward<Args>(args)...);
  }

  // `find` and `insert` for a key whose hash is known; the table must be hashed.
  const Slot* find_hashed(Key key, std::size_t hash) const {
    for (std::size_t at = hash & mask_;; at = (at + 1) & mask_) {
      const Slot& slot = slots_[at];
      if (keys_.empty(slot)) return nullptr;
      if (keys_.same(slot, key, hash)) return &slot;
    }
  }
  template <class... Args>
  std::pair<const Slot*, bool> insert_hashed(Key key, std::size_t hash, Args&&... args) {
    if (2 * (filed_ + 1) > slots_.size()) grow();
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
  void prefetch(std::size_t hash) const {
    if (hashed()) __builtin_prefetch(&slots_[hash & mask_]);
  }

 private:
  // Moves the compared entries into a table, or doubles the table, filing every key again. Rare,
  // and kept out of line so that filing stays small enough to inline.
  [[gnu::cold, gnu::noinline]] void grow() {
    const bool was_hashed = hashed();
    std::vector<Slot> old(was_hashed ? 2 * slots_.size() : std::max<std::size_t>(8, 4 * kFew));
    old.swap(slots_);
    mask_ = slots_.size() - 1;
    const std::size_t count = was_hashed ? old.size() : filed_;
    for (std::size_t i = 0; i < count; ++i) {
      Slot& slot = old[i];
      if (keys_.empty(slot)) continue;
      std::size_t at = keys_.rehash(slot) & mask_;
      while (!keys_.empty(slots_[at])) at = (at + 1) & mask_;
      slots_[at] = slot;
    }
  }

  Keys keys_{};
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;  // 0 while keys are compared
  std::size_t filed_ = 0;
};

// Keys that are addresses of records (never null), each with a value beside it. An address
// hashes in a multiplication, cheaper than comparing a few, so addresses are always hashed.
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
  static std::size_t quick(Key) { return 0; }
  static std::size_t hash(Key key) {
    // Records are at least 8-byte aligned: the low bits carry nothing; mix the rest.
    const auto bits = reinterpret_cast<std::uintptr_t>(key) >> 3;
    return static_cast<std::size_t>(bits * 0x9E3779B97F4A7C15ull >> 20);
  }
  static std::size_t rehash(const Slot& slot) { return hash(slot.address); }
  static Slot make(Key key, std::size_t, Value value = {}) { return {key, value}; }
};

}  // namespace oq
