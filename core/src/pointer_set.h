#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace oq {

// A set of pointers for the walks that must visit a shared node once. The first few are kept in
// place and searched, so a typical walk allocates nothing; past them the set becomes an
// open-addressing table, so a walk over many nodes stays linear.
class PointerSet {
 public:
  // Adds `p` (never null); false when it was already present.
  bool insert(const void* p) {
    if (table_.empty()) {
      const auto end = few_.begin() + few_count_;
      if (std::find(few_.begin(), end, p) != end) return false;
      if (few_count_ < few_.size()) {
        few_[few_count_++] = p;
        return true;
      }
      grow();
    }
    if (2 * (filed_ + 1) > table_.size()) grow();
    const std::size_t at = slot_of(p);
    if (table_[at] == p) return false;
    table_[at] = p;
    ++filed_;
    return true;
  }

  bool contains(const void* p) const {
    if (table_.empty()) {
      const auto end = few_.begin() + few_count_;
      return std::find(few_.begin(), end, p) != end;
    }
    return table_[slot_of(p)] == p;
  }

 private:
  // The slot holding `p`, or the empty slot where it belongs.
  std::size_t slot_of(const void* p) const {
    const auto bits = reinterpret_cast<std::uintptr_t>(p);
    // Nodes are at least 8-byte aligned: the low bits carry nothing; mix the rest.
    std::size_t at = static_cast<std::size_t>((bits >> 3) * 0x9E3779B97F4A7C15ull >> 20) & mask_;
    while (table_[at] != nullptr && table_[at] != p) at = (at + 1) & mask_;
    return at;
  }

  // Doubles the table (or makes the first one from the pointers kept in place).
  [[gnu::noinline]] void grow() {
    std::vector<const void*> old(std::max<std::size_t>(4 * few_.size(), 2 * table_.size()));
    old.swap(table_);
    mask_ = table_.size() - 1;
    filed_ = 0;
    const auto refile = [&](const void* p) {
      if (p == nullptr) return;
      table_[slot_of(p)] = p;
      ++filed_;
    };
    for (const void* p : old) refile(p);
    for (std::size_t i = 0; i < few_count_; ++i) refile(few_[i]);
    few_count_ = 0;
  }

  std::array<const void*, 16> few_{};
  std::size_t few_count_ = 0;
  std::vector<const void*> table_;  // empty while the pointers fit in `few_`
  std::size_t mask_ = 0;
  std::size_t filed_ = 0;
};

}  // namespace oq
