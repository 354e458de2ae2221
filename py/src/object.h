#pragma once

#include <Python.h>

#include <cstdint>
#include <new>
#include <string_view>
#include <utility>

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

// Creates a class from `spec` and stores `attrs` on it as class attributes. Null on failure.
PyTypeObject* make_type(PyType_Spec* spec);
bool set_class_attr(PyTypeObject* type, const char* name, PyObject* value);

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

// A new str from UTF-8 text.
PyObject* new_str(std::string_view text);

}  // namespace oqpy
