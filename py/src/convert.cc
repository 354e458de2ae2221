#include "convert.h"

#include <cmath>
#include <cstring>

namespace oqpy {

bool cannot_convert(PyObject* obj, const char* target) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!name) return false;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
  return false;
}

bool to_text_view(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) return cannot_convert(obj, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!data) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool to_text(PyObject* obj, std::string& out) {
  std::string_view view;
  if (!to_text_view(obj, view)) return false;
  out.assign(view);
  return true;
}

bool to_real(PyObject* obj, double& out) {
  if (PyFloat_CheckExact(obj)) {
    out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  out = PyFloat_AsDouble(obj);
  return !(out == -1.0 && PyErr_Occurred());
}

bool to_bool(PyObject* obj, bool& out) {
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  // NumPy's boolean scalar is accepted through its truth conversion (it is named numpy.bool
  // since NumPy 2).
  const char* type_name = Py_TYPE(obj)->tp_name;
  if (std::strcmp(type_name, "numpy.bool_") == 0 || std::strcmp(type_name, "numpy.bool") == 0) {
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (!number || !number->nb_bool) {
      PyErr_Format(PyExc_TypeError, "object of type '%s' does not define a '__bool__' conversion",
                   Py_TYPE(obj)->tp_name);
      return false;
    }
    const int truth = number->nb_bool(obj);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  return cannot_convert(obj, "PyBool");
}

bool to_index(PyObject* obj, std::uint64_t& out) {
  Ref number = Ref::steal(PyNumber_Index(obj));
  if (!number) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(number.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool to_dict_items(PyObject* obj, Ref& items) {
  if (!PyDict_Check(obj)) return cannot_convert(obj, "PyDict");
  items = Ref::steal(PyDict_Items(obj));
  return static_cast<bool>(items);
}

bool check_instance(PyObject* obj, PyTypeObject* type, const char* class_name) {
  if (Py_TYPE(obj) == type) return true;
  return cannot_convert(obj, class_name);
}

bool check_sequence(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) return cannot_convert(obj, "Sequence");
  return true;
}

bool to_text_list(PyObject* obj, std::vector<std::string>& out) {
  return to_list(obj, out, to_text);
}

bool to_moment(PyObject* obj, oq::UtcTime& out) {
  double seconds = 0;
  if (!to_real(obj, seconds)) return false;
  const auto moment = std::isfinite(seconds) ? oq::from_unix_seconds(seconds)
                                             : std::unexpected(oq::OutOfRange::Above);
  if (!moment) {
    PyErr_Format(PyExc_ValueError, "time %R is outside the representable range", obj);
    return false;
  }
  out = *moment;
  return true;
}

}  // namespace oqpy
