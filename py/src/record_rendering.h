#pragma once

#include <Python.h>

namespace oqpy {

// The private function that makes one decision, record and digest included.
PyObject* decide_function(PyObject* module);
// The private functions that indent JSON and write a moment as a record does.
PyObject* reformat_json_function(PyObject* module);
PyObject* utc_text_function(PyObject* module);
// The private function that writes JSON in the decision log's canonical form.
PyObject* canonical_json_function(PyObject* module);

}  // namespace oqpy
