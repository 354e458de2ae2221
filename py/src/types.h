#pragma once

#include <Python.h>

#include <memory>

#include "chain.h"
#include "permission.h"

namespace oqpy {

// The module's classes, each created once per process on first need.
struct Types {
  PyTypeObject* permission = nullptr;
  PyTypeObject* chain_role = nullptr;
  PyTypeObject* chain_hash = nullptr;
  PyTypeObject* permission_chain = nullptr;
};
extern Types g_types;

// Each returns the class (a new reference), creating it and its class attributes if needed.
PyObject* permission_class();
PyObject* chain_role_class();
PyObject* chain_hash_class();
PyObject* permission_chain_class();

// New Python objects for core values. Null with an exception set on failure.
PyObject* new_permission(oq::Permission level);
PyObject* new_chain_role(oq::ChainRole role);
PyObject* new_chain_hash(const oq::ChainHash& hash);
PyObject* new_chain(std::shared_ptr<const oq::PermissionChain> chain);

// Converters for arguments of the module's own classes.
bool to_permission(PyObject* obj, oq::Permission& out);
bool to_chain_role(PyObject* obj, oq::ChainRole& out);
bool to_chain_hash(PyObject* obj, oq::ChainHash& out);
bool to_chain(PyObject* obj, std::shared_ptr<const oq::PermissionChain>& out);

// Calling conventions of the module's methods and functions.
using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction as_cfunction(FastMethod fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}
inline constexpr int kFastFlags = METH_FASTCALL | METH_KEYWORDS;

}  // namespace oqpy
