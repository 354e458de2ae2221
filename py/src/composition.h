#pragma once

#include <Python.h>

namespace oqpy {

// The module function `compose`, owned by `module`.
PyObject* compose_function(PyObject* module);
// The package's private `_compose_at`: composition as of a given moment.
PyObject* compose_at_function(PyObject* module);

}  // namespace oqpy
