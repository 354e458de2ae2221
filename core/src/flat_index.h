#pragma once

#include <bit>
#include <cstdint>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

namespace oq {

// Positions of strings by content: one flat open-addressing table, sized once for the number of
// keys expected, so filing and finding never allocate per key. Keys are views; what they view
// must outlive the index.
class FlatIndex {
 public:
  static constexpr std::uint32_t kAbsent = UINT32_MAX;

  FlatIndex() = default;
  explicit FlatIndex(std::size_t expected) { reset(expected); }

  // Empties the index and sizes it for `expected` keys, keeping its storage when that suffices.
  void reset(std::size_t expected) {
    slots_.assign(std::bit_ceil(std::max<std::size_t>(8, 2 * expected)), Slot{});
    mask_ = slots_.size() - 1;
  }
  std::size_t capacity() const { return slots_.capacity(); }

  // Files `key` at `position` unless it is already filed; returns the position filed under `key`
  // and whether it was filed now. Expects no more keys than the index was sized for.
  std::pair<std::uint32_t, bool> emplace(std::string_view key, std::uint32_t position) {
    const std::size_t hash = std::hash<std::string_view>{}(key);
    for (std::size_t at = hash & mask_;; at = (at + 1) & mask_) {
      Slot& slot = slots_[at];
      if (slot.position == kAbsent) {
        slot = {key.data(), static_cast<std::uint32_t>(key.size()), position};
        return {position, true};
      }
      if (slot.view() == key) return {slot.position, false};
    }
  }

  // The position filed under `key`, or kAbsent.
  std::uint32_t find(std::string_view key) const {
    if (slots_.empty()) return kAbsent;
    const std::size_t hash = std::hash<std::string_view>{}(key);
    for (std::size_t at = hash & mask_;; at = (at + 1) & mask_) {
      const Slot& slot = slots_[at];
      if (slot.position == kAbsent) return kAbsent;
      if (slot.view() == key) return slot.position;
    }
  }

 private:
  struct Slot {
    const char* data = nullptr;
    std::uint32_t size = 0;
    std::uint32_t position = kAbsent;
    std::string_view view() const { return {data, size}; }
  };
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
};

}  // namespace oq
