#pragma once

#include <Python.h>

#include <type_traits>

namespace oqpy {

// Turns the C++ exception in flight into a Python exception: MemoryError for allocation failure,
// the panic exception for anything else.
void raise_current_exception() noexcept;

// `Fn` wrapped so that no C++ exception reaches the interpreter; use `guarded<Fn>` wherever the
// interpreter calls into the module.
template <auto Fn>
struct Guarded;

template <class R, class... A, R (*Fn)(A...)>
struct Guarded<Fn> {
  static R call(A... args) noexcept {
    try {
      return Fn(args...);
    } catch (...) {
      raise_current_exception();
      if constexpr (std::is_pointer_v<R>) {
        return nullptr;
      } else {
        return static_cast<R>(-1);
      }
    }
  }
};

template <auto Fn>
inline constexpr auto guarded = &Guarded<Fn>::call;

}  // namespace oqpy
