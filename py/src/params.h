#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "ref.h"

namespace oqpy {

// What happens when the caller leaves a parameter out, or passes None for it.
enum class Policy : std::uint8_t {
  Required,  // must be given; None is converted like any other value
  OrNone,    // default None: None or omission means absent
  OrValue,   // default a constant: only omission means absent; None is converted (and refused)
};

// One parameter: its name, its policy and, for OrValue, how the signature shows the default.
struct Param {
  const char* name;
  Policy policy = Policy::Required;
  const char* default_text = nullptr;
};

// Where a callable lives, which decides the name in its text signature and whether it lists $self.
enum class Callable : std::uint8_t { Function, Method, StaticMethod, Constructor };

// The declarative table of one function, method or constructor: it drives binding, the binding
// messages and the text signature that starts the docstring.
// `full_name` is "f()", "Class.method()" or "Class.__new__()"; `doc` is the whole docstring.
template <std::size_t N>
struct Signature {
  const char* full_name;
  Callable callable;
  std::array<Param, N> params;
  const char* doc;
};

template <class... P>
constexpr auto signature(const char* full_name, Callable callable, const char* doc, P... params) {
  return Signature<sizeof...(P)>{full_name, callable, {Param(params)...}, doc};
}

// The text signature that `sig` must start its docstring with: "name(a, b=None)\n--\n\n".
template <std::size_t N>
constexpr std::string text_signature(const Signature<N>& sig) {
  std::string_view full = sig.full_name;
  full.remove_suffix(2);  // "()"
  std::string_view name = full;
  if (const auto dot = full.find('.'); dot != std::string_view::npos) {
    name = sig.callable == Callable::Constructor ? full.substr(0, dot) : full.substr(dot + 1);
  }
  std::string out(name);
  out += '(';
  bool first = true;
  if (sig.callable == Callable::Method) {
    out += "$self";
    first = false;
  }
  for (const Param& p : sig.params) {
    if (!first) out += ", ";
    first = false;
    out += p.name;
    if (p.policy == Policy::OrNone) out += "=None";
    if (p.policy == Policy::OrValue) {
      out += '=';
      out += p.default_text;
    }
  }
  out += ")\n--\n\n";
  return out;
}

// Whether the docstring of `sig` starts with its text signature and every default is shown.
template <std::size_t N>
constexpr bool consistent(const Signature<N>& sig) {
  bool required_first = true;
  bool seen_optional = false;
  for (const Param& p : sig.params) {
    if (p.policy == Policy::OrValue && p.default_text == nullptr) return false;
    if (p.policy == Policy::Required && seen_optional) required_first = false;
    if (p.policy != Policy::Required) seen_optional = true;
  }
  return required_first && std::string_view(sig.doc).starts_with(text_signature(sig));
}

// The parts of a signature that binding needs, independent of its size.
struct SignatureView {
  const char* full_name;
  std::span<const Param> params;
};

// Matches the arguments of one call to the parameters; a slot stays null when the caller gave no
// value. False with TypeError set on failure. Keyword names must be str. Borrowed references.
// This form takes a vectorcall-style call (`kwnames` may be null).
bool bind(SignatureView sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::span<PyObject*> out);

// Binds a call given as an argument tuple and an optional keyword dict (constructors).
bool bind(SignatureView sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

// Rewrites a pending conversion TypeError as "argument '<param>': <message>", keeping the
// original's cause; other exceptions pass unchanged.
void argument_failed(const char* param);

// The bound arguments of one call. Every bound argument is held by a strong reference until the
// call ends, so a converter that runs Python code (and so can drop the caller's references, for
// example from the keyword dict) never frees another argument; views into arguments that do not
// themselves run Python (the UTF-8 of a str) stay valid for the whole call.
template <const auto& Sig>
class Args {
  static_assert(consistent(Sig), "docstring must start with the table's text signature");
  static constexpr std::size_t N = Sig.params.size();

 public:
  bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, N> raw{};
    if (!oqpy::bind(view(), args, nargs, kwnames, raw)) return false;
    hold(raw);
    return true;
  }
  bool bind(PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, N> raw{};
    if (!oqpy::bind(view(), args, kwargs, raw)) return false;
    hold(raw);
    return true;
  }

  // The argument in slot `i` (borrowed from this holder), or null when omitted.
  PyObject* operator[](std::size_t i) const { return slots_[i].get(); }
  // Whether slot `i` holds a value to convert, by the parameter's policy.
  bool given(std::size_t i) const {
    PyObject* obj = slots_[i].get();
    if (!obj) return false;
    return Sig.params[i].policy != Policy::OrNone || obj != Py_None;
  }

  // Reports the pending conversion failure as one of parameter `i`. Returns null.
  std::nullptr_t failed(std::size_t i) const {
    argument_failed(Sig.params[i].name);
    return nullptr;
  }

  // Converts slot `i` with `convert(PyObject*, T&)`; an absent optional leaves `out` unchanged.
  template <class T, class Convert>
  bool get(std::size_t i, T& out, Convert&& convert) const {
    if (Sig.params[i].policy != Policy::Required && !given(i)) return true;
    if (convert(slots_[i].get(), out)) return true;
    failed(i);
    return false;
  }

  // Converts slot `i` into `out` when it is given; `out` stays empty otherwise.
  template <class T, class Convert>
  bool get_optional(std::size_t i, std::optional<T>& out, Convert&& convert) const {
    if (!given(i)) return true;
    T value{};
    if (!get(i, value, convert)) return false;
    out = std::move(value);
    return true;
  }

 private:
  static SignatureView view() { return {Sig.full_name, Sig.params}; }
  void hold(const std::array<PyObject*, N>& raw) {
    for (std::size_t i = 0; i < N; ++i) slots_[i] = Ref::borrow(raw[i]);
  }

  std::array<Ref, N> slots_{};
};

}  // namespace oqpy
