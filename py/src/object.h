#pragma once

#include <Python.h>

#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "convert.h"

namespace oqpy {

// The layout of every instance: the object header and one immutable C++ value. Records are held
// through shared_ptr<const T>, so copies between Python objects share instead of duplicating.
template <class T>
struct Box {
  PyObject_HEAD T value;
};

template <class T>
T& unbox(PyObject* obj) {
  return reinterpret_cast<Box<T>*>(obj)->value;
}

// A new instance of `type` holding `value`; null with an exception set on failure.
template <class T>
PyObject* box(PyTypeObject* type, T value) {
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  new (&reinterpret_cast<Box<T>*>(obj)->value) T(std::move(value));
  return obj;
}

template <class T>
void box_dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  unbox<T>(obj).~T();
  type->tp_free(obj);
  Py_DECREF(type);
}

// The slots that every class shares: instance size, deallocation and final, immutable type.
template <class T>
constexpr PyType_Spec type_spec(const char* name, PyType_Slot* slots) {
  return PyType_Spec{name, static_cast<int>(sizeof(Box<T>)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
}

// The class in `slot` as a new reference, created from `blueprint` on first need; `init` then adds
// its class attributes. Null on failure, leaving `slot` empty.
PyObject* class_once(PyTypeObject*& slot, PyType_Spec* blueprint,
                     bool (*init)(PyTypeObject*) = nullptr);
// Stores `value` (a new reference, consumed) on `type` as a class attribute.
bool set_class_attr(PyTypeObject* type, const char* name, PyObject* value);

// Converts an argument that must be an instance of `type`, copying (or sharing) its value.
template <class T>
bool read_boxed(PyObject* obj, PyTypeObject* type, const char* class_name, T& out) {
  if (!check_instance(obj, type, class_name)) return false;
  out = unbox<T>(obj);
  return true;
}

// Converts a list argument whose items are instances of `type`, copying each held value.
template <class T>
bool to_boxed_list(PyObject* obj, PyTypeObject* type, const char* class_name, std::vector<T>& out);

// tp_new of classes that cannot be constructed from Python.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// The hash of a value's canonical bytes: SipHash-1-3 under the zero key, -1 mapped to -2.
Py_hash_t hash_bytes(std::string_view bytes);
// The hash of a level or role name: its bytes followed by 0xFF.
Py_hash_t hash_name(std::string_view name);

// Rich comparison for classes with equality only: `==` by `equal`, `!=` as the negation of the
// interpreter's `==`, ordering and foreign operands NotImplemented.
template <class Equal>
PyObject* compare_equality(PyObject* self, PyObject* other, int op, PyTypeObject* type,
                           Equal&& equal) {
  if (op == Py_NE) {
    const int eq = PyObject_RichCompareBool(self, other, Py_EQ);
    if (eq < 0) return nullptr;
    return PyBool_FromLong(!eq);
  }
  if (op != Py_EQ || Py_TYPE(self) != type || Py_TYPE(other) != type) Py_RETURN_NOTIMPLEMENTED;
  return PyBool_FromLong(equal(self, other));
}

// A module function for `def`, owned by `module` and reporting its name as __module__.
PyObject* new_function(PyMethodDef* def, PyObject* module);

// A new str from UTF-8 text.
PyObject* new_str(std::string_view text);

// A new list of `size` items, item i being `make(i)` (a new reference, or null on failure).
template <class Make>
PyObject* list_of(std::size_t size, Make&& make) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(size));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < size; ++i) {
    PyObject* item = make(i);
    if (!item) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

// A new list of str.
inline PyObject* text_list(std::span<const std::string> items) {
  return list_of(items.size(), [&](std::size_t i) { return new_str(items[i]); });
}

template <class T>
bool to_boxed_list(PyObject* obj, PyTypeObject* type, const char* class_name, std::vector<T>& out) {
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    out.reserve(out.size() + static_cast<std::size_t>(PySequence_Fast_GET_SIZE(obj)));
  }
  return for_each_item(obj, [&](PyObject* item) {
    if (!check_instance(item, type, class_name)) return false;
    out.push_back(unbox<T>(item));
    return true;
  });
}

}  // namespace oqpy
