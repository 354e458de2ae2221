#pragma once

#include <Python.h>

namespace oqpy {

// The package's private `_state` and `_restore`, through which it pickles the value classes.
PyObject* state_function(PyObject* module);
PyObject* restore_function(PyObject* module);

}  // namespace oqpy
