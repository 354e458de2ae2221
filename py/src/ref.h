#pragma once

#include <Python.h>

#include <utility>

namespace oqpy {

// An owned reference to a Python object, released when the Ref goes away.
class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (which may be null after a failed call).
  static Ref steal(PyObject* obj) { return Ref(obj); }
  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return Ref(obj);
  }

  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref old(std::exchange(obj_, std::exchange(other.obj_, nullptr)));
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(obj_, nullptr); }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  explicit Ref(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// The pending exception, taken out of the interpreter in normalized form and owned.
struct TakenError {
  Ref type;
  Ref value;  // null when there was no exception
  Ref traceback;

  static TakenError take() {
    PyObject* type;
    PyObject* value;
    PyObject* traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    return {Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
  }
};

}  // namespace oqpy
