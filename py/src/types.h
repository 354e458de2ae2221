#pragma once

#include <Python.h>

#include <memory>
#include <vector>

#include "oq/chain.h"
#include "oq/context.h"
#include "oq/events.h"
#include "oq/gap.h"
#include "oq/permission.h"
#include "oq/token.h"

namespace oqpy {

// The module's classes, each created once per process on first need.
struct Types {
  PyTypeObject* permission = nullptr;
  PyTypeObject* scope = nullptr;
  PyTypeObject* gap_record = nullptr;
  PyTypeObject* gap_requirement = nullptr;
  PyTypeObject* profile = nullptr;
  PyTypeObject* proof_token = nullptr;
  PyTypeObject* expiry = nullptr;
  PyTypeObject* membership = nullptr;
  PyTypeObject* proof_context = nullptr;
  PyTypeObject* chain_role = nullptr;
  PyTypeObject* chain_hash = nullptr;
  PyTypeObject* permission_chain = nullptr;
};
extern Types g_types;

// Each returns the class (a new reference), creating it and its class attributes if needed.
PyObject* permission_class();
PyObject* scope_class();
PyObject* gap_record_class();
PyObject* gap_requirement_class();
PyObject* profile_class();
PyObject* proof_token_class();
PyObject* expiry_class();
PyObject* membership_class();
PyObject* proof_context_class();
PyObject* chain_role_class();
PyObject* chain_hash_class();
PyObject* permission_chain_class();

// New Python objects for core values. Null with an exception set on failure.
PyObject* new_permission(oq::Permission level);
PyObject* new_chain_role(oq::ChainRole role);
PyObject* new_chain_hash(const oq::ChainHash& hash);
PyObject* new_chain(std::shared_ptr<const oq::PermissionChain> chain);
PyObject* new_expiry(const oq::Expiry& expiry);
PyObject* new_context(std::shared_ptr<const oq::ProofContext> context);

// Converters for arguments of the module's own classes.
bool to_permission(PyObject* obj, oq::Permission& out);
bool to_chain_role(PyObject* obj, oq::ChainRole& out);
bool to_chain_hash(PyObject* obj, oq::ChainHash& out);
bool to_chain(PyObject* obj, std::shared_ptr<const oq::PermissionChain>& out);
// List arguments; each item's record is copied (or shared, for the records held by pointer).
bool to_gap_records(PyObject* obj, std::vector<oq::GapRecord>& out);
bool to_profiles(PyObject* obj, std::vector<std::shared_ptr<const oq::Profile>>& out);
bool to_tokens(PyObject* obj, oq::TokenList& out);
// Single arguments, copied out of the Python object.
bool to_membership(PyObject* obj, oq::Membership& out);
bool to_scope(PyObject* obj, oq::Scope& out);
bool to_expiry(PyObject* obj, oq::Expiry& out);
bool to_context(PyObject* obj, std::shared_ptr<const oq::ProofContext>& out);

// Module functions, registered with the module as their owner.
PyObject* compute_provenance_hash_function(PyObject* module);
PyObject* init_tracing_function(PyObject* module);
// Where the engine's events go: the logging bridge once init_tracing has installed it, else none.
oq::events::Sink* tracing_sink();

// Calling conventions of the module's methods and functions.
using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction as_cfunction(FastMethod fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}
inline constexpr int kFastFlags = METH_FASTCALL | METH_KEYWORDS;

}  // namespace oqpy
