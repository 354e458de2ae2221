#pragma once

#include <Python.h>

namespace oqpy {

// InMemoryChainRegistry, created once per process on first need.
PyObject* registry_class();

// The module functions `compose` and `verify_published`, owned by `module`.
PyObject* compose_function(PyObject* module);
// The package's private `_compose_at`: composition as of a given moment.
PyObject* compose_at_function(PyObject* module);
PyObject* verify_published_function(PyObject* module);

}  // namespace oqpy
