#pragma once

#include <Python.h>

namespace oqpy {

// The private functions that read request, chain and time documents natively.
PyObject* read_request_function(PyObject* module);
PyObject* read_chain_function(PyObject* module);
PyObject* read_time_function(PyObject* module);
PyObject* check_json_function(PyObject* module);
PyObject* read_members_function(PyObject* module);
PyObject* read_file_function(PyObject* module);

}  // namespace oqpy
