#include "errors.h"

#include <exception>
#include <new>
#include <string>

#include "guard.h"
#include "oq/chain.h"
#include "oq/core_error.h"
#include "oq/input_error.h"
#include "oq/panic.h"
#include "oq/registry.h"
#include "ref.h"

namespace oqpy {

namespace {

struct ExceptionSpec {
  const char* qualified_name;
  const char* doc;
};

constexpr ExceptionSpec kExceptions[] = {
    {"_ostrel_quorvane.QuorvaneError", "Base Quorvane error."},
    {"_ostrel_quorvane.ExpiredError", "Judgment has expired."},
    {"_ostrel_quorvane.CompositionError", "Composition failed."},
    {"_ostrel_quorvane.ProvenanceError", "Provenance mismatch."},
    {"_ostrel_quorvane.ChainError", "Permission chain construction or use failed."},
    {"_ostrel_quorvane.AuditError",
     "Chain audit verification failed (chain not published or hash mismatch)."},
};

PyObject* g_exceptions[std::size(kExceptions)] = {};
PyObject* g_panic = nullptr;

constexpr const char* kPanicDoc =
    "Raised when the engine fails internally: one of its own invariants does not hold.\n\n"
    "Like SystemExit it derives from BaseException, not Exception, so that it normally\n"
    "propagates to the top and ends the interpreter instead of being swallowed.";

constexpr std::string_view kGenericPanic = "internal failure in the authorization engine";

PyObject* panic_class() {
  if (!g_panic) {
    g_panic = PyErr_NewExceptionWithDoc("_ostrel_quorvane.PanicException", kPanicDoc,
                                        PyExc_BaseException, nullptr);
  }
  return g_panic;
}

}  // namespace

PyObject* exception_class(Exc exc) {
  const auto index = static_cast<std::size_t>(exc);
  if (g_exceptions[index]) return g_exceptions[index];
  PyObject* base = PyExc_Exception;
  if (exc != Exc::Quorvane) {
    base = exception_class(Exc::Quorvane);
    if (!base) return nullptr;
  }
  PyObject* cls = PyErr_NewExceptionWithDoc(kExceptions[index].qualified_name,
                                            kExceptions[index].doc, base, nullptr);
  if (!cls) {
    // The interpreter only refuses a new class when it is out of memory.
    PyErr_Clear();
    return raise_panic("Failed to initialize new exception type.");
  }
  g_exceptions[index] = cls;
  return cls;
}

PyObject* raise_text(PyObject* cls, std::string_view message) {
  Ref text = Ref::steal(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return nullptr;
  PyErr_SetObject(cls, text.get());
  return nullptr;
}

PyObject* raise_panic(std::string_view message) {
  PyObject* cls = panic_class();
  if (!cls) return nullptr;
  return raise_text(cls, message.empty() ? kGenericPanic : message);
}

PyObject* raise_error(const oq::ChainError& error) {
  PyObject* cls = exception_class(Exc::Chain);
  if (!cls) return nullptr;
  return raise_text(cls, error.text());
}

PyObject* raise_error(const oq::CoreError& error, Exc family) {
  PyObject* cls = exception_class(family);
  if (!cls) return nullptr;
  return raise_text(cls, error.text());
}

PyObject* raise_error(const oq::AuditFailure& error) {
  PyObject* cls = exception_class(Exc::Audit);
  if (!cls) return nullptr;
  return raise_text(cls, error.text());
}

PyObject* raise_error(const oq::InputError& error) {
  return raise_text(PyExc_ValueError, error.text());
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    try {
      raise_panic(failure.what());
    } catch (...) {
      PyErr_NoMemory();
    }
  } catch (...) {
    raise_panic(kGenericPanic);
  }
}

}  // namespace oqpy
