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
// Adds the verifiable log's helpers (_log_*, _merkle_*) to `module`.
bool add_log_proof_functions(PyObject* module);

}  // namespace oqpy
