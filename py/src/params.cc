#include "params.h"

#include <string>

#include "ref.h"

namespace oqpy {

namespace {

bool required(const Param& p) { return p.policy == Policy::Required; }

// The interpreter's own parsers refuse keyword names that are not str before anything else.
bool keywords_are_text(PyObject* const* names, Py_ssize_t count) {
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!PyUnicode_Check(names[i])) {
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      return false;
    }
  }
  return true;
}

std::size_t required_count(SignatureView sig) {
  std::size_t count = 0;
  for (const Param& p : sig.params) count += required(p) ? 1 : 0;
  return count;
}

bool too_many_positional(SignatureView sig, Py_ssize_t given) {
  const std::size_t total = sig.params.size();
  const std::size_t need = required_count(sig);
  const char* verb = given == 1 ? "was" : "were";
  if (need == total) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 sig.full_name, total, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 sig.full_name, need, total, given, verb);
  }
  return false;
}

bool missing(SignatureView sig, std::span<PyObject*> out) {
  std::string names;
  std::size_t count = 0;
  std::size_t total_missing = 0;
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    total_missing += (required(sig.params[i]) && !out[i]) ? 1 : 0;
  }
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (!required(sig.params[i]) || out[i]) continue;
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
bool place_keyword(SignatureView sig, PyObject* key, PyObject* value, std::span<PyObject*> out) {
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

bool place_positional(SignatureView sig, PyObject* const* args, Py_ssize_t nargs,
                      std::span<PyObject*> out) {
  for (auto& slot : out) slot = nullptr;
  if (static_cast<std::size_t>(nargs) > sig.params.size()) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
  return true;
}

bool check_required(SignatureView sig, std::span<PyObject*> out) {
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (required(sig.params[i]) && !out[i]) return missing(sig, out);
  }
  return true;
}

}  // namespace

bool bind(SignatureView sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::span<PyObject*> out) {
  nargs = PyVectorcall_NARGS(nargs);
  if (kwnames && !keywords_are_text(&PyTuple_GET_ITEM(kwnames, 0), PyTuple_GET_SIZE(kwnames))) {
    return false;
  }
  if (!place_positional(sig, args, nargs, out)) return false;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out)) return false;
  }
  return check_required(sig, out);
}

bool bind(SignatureView sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!keywords_are_text(&key, 1)) return false;
    }
  }
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
  const TakenError error = TakenError::take();
  PyObject* value = error.value.get();
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
