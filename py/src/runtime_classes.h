#pragma once

#include <Python.h>

#include <memory>

#include "expiry.h"

namespace oqpy {

// NegativeControlStatus and RuntimeContext, each created once per process on first need.
PyObject* negative_control_status_class();
PyObject* runtime_context_class();

// A RuntimeContext argument, sharing its immutable record.
bool to_runtime(PyObject* obj, std::shared_ptr<const oq::RuntimeContext>& out);

}  // namespace oqpy
