#pragma once

#include <Python.h>

namespace oqpy {

// The private function that writes a decision record natively.
PyObject* render_record_function(PyObject* module);
// The private function that writes JSON in the decision log's canonical form.
PyObject* canonical_json_function(PyObject* module);

}  // namespace oqpy
