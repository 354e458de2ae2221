#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "oq/utc_time.h"
#include "ref.h"

namespace oqpy {

// Converters read one Python object into a C++ value. Each returns false with the conversion's
// own exception set when it refuses the object; `argument_failed` then names the parameter.

// Any str (subclasses included) as UTF-8; a lone surrogate fails with the interpreter's own
// encoding error. The view is valid while `obj` lives.
bool to_text_view(PyObject* obj, std::string_view& out);
bool to_text(PyObject* obj, std::string& out);
// Whatever the interpreter's float conversion accepts.
bool to_real(PyObject* obj, double& out);
// Unix seconds as a moment, truncated toward zero: a real number inside the representable
// range; ValueError for one outside it or not finite.
bool to_moment(PyObject* obj, oq::UtcTime& out);
// True and False (and NumPy's boolean scalar) only.
bool to_bool(PyObject* obj, bool& out);
// A non-negative integer that fits 64 bits; OverflowError otherwise.
bool to_index(PyObject* obj, std::uint64_t& out);
// A dict (or subclass); `items` receives a snapshot list of (key, value) pairs.
bool to_dict_items(PyObject* obj, Ref& items);
// An instance of the module class `type`.
bool check_instance(PyObject* obj, PyTypeObject* type, const char* class_name);

// Sets TypeError "'<type>' object cannot be converted to '<target>'". Returns false.
bool cannot_convert(PyObject* obj, const char* target);

// Walks the items of a list argument: any sequence but str. Calls `item(obj)` for each item in
// order; stops at the first false.
template <class F>
bool for_each_item(PyObject* obj, F&& item);

// A list argument converted item by item with `convert(PyObject*, T&)`.
template <class T, class Convert>
bool to_list(PyObject* obj, std::vector<T>& out, Convert&& convert) {
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    out.reserve(out.size() + static_cast<std::size_t>(PySequence_Fast_GET_SIZE(obj)));
  }
  return for_each_item(obj, [&](PyObject* element) {
    T value{};
    if (!convert(element, value)) return false;
    out.push_back(std::move(value));
    return true;
  });
}

bool to_text_list(PyObject* obj, std::vector<std::string>& out);

// Implementation details of `for_each_item`.
bool check_sequence(PyObject* obj);

template <class F>
bool for_each_item(PyObject* obj, F&& item) {
  if (!check_sequence(obj)) return false;
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    // Items are held while converted, so a converter that runs Python code cannot free them.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(obj); ++i) {
      Ref element = Ref::borrow(PySequence_Fast_GET_ITEM(obj, i));
      if (!item(element.get())) return false;
    }
    return true;
  }
  Ref iterator = Ref::steal(PyObject_GetIter(obj));
  if (!iterator) return false;
  while (Ref element = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!item(element.get())) return false;
  }
  return !PyErr_Occurred();
}

}  // namespace oqpy
