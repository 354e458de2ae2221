#pragma once

#include <Python.h>

#include <string_view>

namespace oq {
class ChainError;
class CoreError;
class AuditFailure;
class InputError;
}  // namespace oq

namespace oqpy {

// The module's exception classes, in registration order.
enum class Exc { Quorvane, Expired, Composition, Provenance, Chain, Audit };

// The class for `exc`, created on first need (its base first); borrowed, or null on failure.
PyObject* exception_class(Exc exc);

// Raises the panic exception with `message`. Always returns null.
PyObject* raise_panic(std::string_view message);

// Raises `cls` with `message` as its only argument. Always returns null.
PyObject* raise_text(PyObject* cls, std::string_view message);

// Each engine error family raised as its Python exception. Always return null.
PyObject* raise_error(const oq::ChainError& error);
PyObject* raise_error(const oq::InputError& error);
PyObject* raise_error(const oq::AuditFailure& error);
// An error of compilation or composition, raised as `family` whatever its kind.
PyObject* raise_error(const oq::CoreError& error, Exc family);

}  // namespace oqpy
