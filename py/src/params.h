#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

namespace oqpy {

// One parameter of a function: its name and whether the caller must supply it.
struct Param {
  const char* name;
  bool required = true;
};

// The declarative parameter table of one function, method or constructor. `full_name` is the
// name used in binding messages: "f()", "Class.method()" or "Class.__new__()".
struct Signature {
  const char* full_name;
  std::span<const Param> params;
};

// Matches the arguments of one call to the parameters of `sig`; a slot stays null when the
// caller gave no value. Borrowed references. False with TypeError set on failure.
// This form takes a vectorcall-style call (`kwnames` may be null).
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::span<PyObject*> out);

// Binds a call given as an argument tuple and an optional keyword dict (constructors).
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

// Rewrites a pending conversion TypeError as "argument '<param>': <message>", keeping the
// original's cause; other exceptions pass unchanged.
void argument_failed(const char* param);

// The bound arguments of one call, converted one parameter at a time. Conversion failures name
// the parameter, as the table gives it.
template <std::size_t N>
class Args {
 public:
  explicit Args(const Signature& sig) : sig_(sig) {}

  bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return oqpy::bind(sig_, args, nargs, kwnames, slots_);
  }
  bool bind(PyObject* args, PyObject* kwargs) { return oqpy::bind(sig_, args, kwargs, slots_); }

  // The argument in slot `i`, or null when absent.
  PyObject* operator[](std::size_t i) const { return slots_[i]; }
  // Whether slot `i` holds a value other than None.
  bool given(std::size_t i) const { return slots_[i] && slots_[i] != Py_None; }

  // Reports the pending conversion failure as one of parameter `i`. Returns null.
  std::nullptr_t failed(std::size_t i) const {
    argument_failed(sig_.params[i].name);
    return nullptr;
  }

  // Converts slot `i` with `convert(PyObject*, T&)`.
  template <class T, class Convert>
  bool get(std::size_t i, T& out, Convert&& convert) const {
    if (convert(slots_[i], out)) return true;
    failed(i);
    return false;
  }

  // Converts slot `i` unless it is absent or None.
  template <class T, class Convert>
  bool get_optional(std::size_t i, std::optional<T>& out, Convert&& convert) const {
    if (!given(i)) return true;
    T value{};
    if (!get(i, value, convert)) return false;
    out = std::move(value);
    return true;
  }

 private:
  const Signature& sig_;
  std::array<PyObject*, N> slots_{};
};

}  // namespace oqpy
