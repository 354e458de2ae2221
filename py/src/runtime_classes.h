#pragma once

#include <Python.h>

#include <memory>

#include "oq/live_evaluation.h"

namespace oqpy {

// NegativeControlStatus and RuntimeContext, each created once per process on first need.
PyObject* negative_control_status_class();
PyObject* runtime_context_class();

// A RuntimeContext argument, sharing its immutable record.
bool to_runtime(PyObject* obj, std::shared_ptr<const oq::RuntimeContext>& out);

// For pickling: the classes (borrowed; created at import), and a new RuntimeContext showing
// `runtime`.
PyTypeObject* runtime_context_type();
PyTypeObject* negative_control_status_type();
PyObject* new_runtime_context(std::shared_ptr<const oq::RuntimeContext> runtime);

}  // namespace oqpy
