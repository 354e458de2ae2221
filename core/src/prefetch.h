#pragma once

#include <cstddef>
#include <cstdint>

namespace oq {

// How many elements ahead of the one being read a pass over records scattered in memory asks for
// the next: far enough that memory answers before the pass arrives, near enough that what came is
// still cached when it is read.
inline constexpr std::size_t kLookAhead = 16;

// The one way the engine asks for memory ahead of reading it: in a pass over `count` elements,
// while element `i` is read, asks for the `bytes` bytes at what `at(j)` gives for element
// j = i + `ahead`, if there is one: every cache line they span. What is found through an element
// fetched ahead is asked for at half the distance, once the element has come.
inline constexpr std::size_t kCacheLine = 64;

template <class At>
inline void prefetch_ahead(std::size_t i, std::size_t count, At at, std::size_t bytes = 1,
                           std::size_t ahead = kLookAhead) {
  if (i + ahead >= count) return;
  const auto first = reinterpret_cast<std::uintptr_t>(at(i + ahead));
  const std::uintptr_t line = ~std::uintptr_t{kCacheLine - 1};
  for (std::uintptr_t a = first & line; a <= ((first + bytes - 1) & line); a += kCacheLine) {
    __builtin_prefetch(reinterpret_cast<const void*>(a));
  }
}

}  // namespace oq
