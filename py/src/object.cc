#include "object.h"

#include <string>

#include "oq/digest.h"
#include "oq/permission.h"
#include "types.h"

namespace oqpy {

Types g_types;

PyObject* class_once(PyTypeObject*& slot, PyType_Spec* blueprint, bool (*init)(PyTypeObject*)) {
  if (!slot) {
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(blueprint));
    if (!type) return nullptr;
    slot = type;
    if (init && !init(type)) {
      slot = nullptr;
      Py_DECREF(type);
      return nullptr;
    }
  }
  Py_INCREF(slot);
  return reinterpret_cast<PyObject*>(slot);
}

bool set_class_attr(PyTypeObject* type, const char* name, PyObject* value) {
  if (!value) return false;
  const int status = PyDict_SetItemString(type->tp_dict, name, value);
  Py_DECREF(value);
  PyType_Modified(type);
  return status == 0;
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

Py_hash_t hash_bytes(std::string_view bytes) {
  const auto value = static_cast<std::int64_t>(oq::siphash13(bytes));
  return value == -1 ? -2 : static_cast<Py_hash_t>(value);
}

Py_hash_t hash_name(std::string_view name) {
  // Level and role names are short; hashing them must not allocate.
  char buffer[oq::kMaxLevelNameBytes + 1];
  if (name.size() < sizeof buffer) {
    name.copy(buffer, name.size());
    buffer[name.size()] = '\xFF';
    return hash_bytes(std::string_view(buffer, name.size() + 1));
  }
  std::string bytes(name);
  bytes += '\xFF';
  return hash_bytes(bytes);
}

PyObject* new_function(PyMethodDef* def, PyObject* module) {
  PyObject* name = PyModule_GetNameObject(module);
  if (!name) return nullptr;
  PyObject* function = PyCFunction_NewEx(def, module, name);
  Py_DECREF(name);
  return function;
}

PyObject* new_str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace oqpy
