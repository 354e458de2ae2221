#pragma once

#include "oq/open_table.h"

namespace oq {

// A set of records' addresses, for the walks that must visit a shared node once. A typical walk
// holds a few and compares them; a walk over many nodes hashes them and stays linear.
class PointerSet {
 public:
  // Empties the set, keeping its storage.
  void clear() { table_.reset(0); }
  // Adds `p` (never null); false when it was already present.
  bool insert(const void* p) { return table_.insert(p).second; }
  bool contains(const void* p) const { return table_.find(p) != nullptr; }
  std::size_t bytes() const { return table_.bytes(); }

 private:
  struct Nothing {};
  OpenTable<AddressKeys<Nothing>> table_;
};

}  // namespace oq
