#include "params.h"

#include <string>

#include "ref.h"

namespace oqpy {

namespace {

std::size_t required_count(const Signature& sig) {
  std::size_t count = 0;
  for (const Param& p : sig.params) count += p.required ? 1 : 0;
  return count;
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  const std::size_t total = sig.params.size();
  const std::size_t required = required_count(sig);
  const char* verb = given == 1 ? "was" : "were";
  if (required == total) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 sig.full_name, total, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 sig.full_name, required, total, given, verb);
  }
  return false;
}

bool missing(const Signature& sig, std::span<PyObject*> out) {
  std::string names;
  std::size_t count = 0;
  std::size_t total_missing = 0;
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    total_missing += (sig.params[i].required && !out[i]) ? 1 : 0;
  }
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (!sig.params[i].required || out[i]) continue;
    ++count;
    if (count > 1) {
      if (total_missing == 2) {
        names += " and ";
      } else {
        names += count == total_missing ? ", and " : ", ";
      }
    }
    names += '\'';
    names += sig.params[i].name;
    names += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", sig.full_name,
               total_missing, total_missing == 1 ? "" : "s", names.c_str());
  return false;
}

// Assigns one keyword argument; false with TypeError set when it cannot be placed.
bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, std::span<PyObject*> out) {
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, sig.params[i].name) != 0) continue;
    if (out[i]) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", sig.full_name, key);
      return false;
    }
    out[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.full_name, key);
  return false;
}

bool place_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                      std::span<PyObject*> out) {
  for (auto& slot : out) slot = nullptr;
  if (static_cast<std::size_t>(nargs) > sig.params.size()) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
  return true;
}

bool check_required(const Signature& sig, std::span<PyObject*> out) {
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (sig.params[i].required && !out[i]) return missing(sig, out);
  }
  return true;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::span<PyObject*> out) {
  nargs = PyVectorcall_NARGS(nargs);
  if (!place_positional(sig, args, nargs, out)) return false;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out)) return false;
  }
  return check_required(sig, out);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
  if (!place_positional(sig, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out)) {
    return false;
  }
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keyword(sig, key, value, out)) return false;
    }
  }
  return check_required(sig, out);
}

void argument_failed(const char* param) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type = Ref::steal(type), owned_value = Ref::steal(value),
      owned_traceback = Ref::steal(traceback);
  Ref message = Ref::steal(value ? PyObject_Str(value) : PyUnicode_FromString(""));
  if (!message) return;
  Ref text = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", param, message.get()));
  if (!text) return;
  Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, text.get()));
  if (!replacement) return;
  if (value) {
    if (PyObject* cause = PyException_GetCause(value)) {
      PyException_SetCause(replacement.get(), cause);  // steals `cause`
    }
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
  return;
}

}  // namespace oqpy
