#pragma once

#include <cstddef>

namespace oq {

// How many elements ahead of the one being read a pass over records scattered in memory asks for
// the next: far enough that memory answers before the pass arrives, near enough that what came is
// still cached when it is read.
inline constexpr std::size_t kLookAhead = 16;

// The one way the engine asks for memory ahead of reading it: in a pass over `count` elements,
// while element `i` is read, asks for the `bytes` bytes (one cache line or two) at what `at(j)`
// gives for element j = i + `ahead`, if there is one. The bytes may span two lines, not more.
// What is found through an element fetched ahead is asked for at half the distance, once the
// element has come.
template <class At>
inline void prefetch_ahead(std::size_t i, std::size_t count, At at, std::size_t bytes = 1,
                           std::size_t ahead = kLookAhead) {
  if (i + ahead >= count) return;
  const char* p = reinterpret_cast<const char*>(at(i + ahead));
  __builtin_prefetch(p);
  if (bytes > 1) __builtin_prefetch(p + bytes - 1);
}

}  // namespace oq
