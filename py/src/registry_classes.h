#pragma once

#include <Python.h>

namespace oqpy {

// InMemoryChainRegistry, created once per process on first need.
PyObject* registry_class();

// The module function `verify_published`, owned by `module`.
PyObject* verify_published_function(PyObject* module);

}  // namespace oqpy
