// ProofToken and compute_provenance_hash: the credentials of a request and the hash binding them.
#include <string>
#include <vector>

#include "convert.h"
#include "errors.h"
#include "guard.h"
#include "object.h"
#include "oq/details.h"
#include "params.h"
#include "types.h"

namespace oqpy {

namespace {

using oq::GapIdList;
using oq::ProofToken;
using TokenRef = std::shared_ptr<const ProofToken>;

const ProofToken& token_of(PyObject* self) { return *unbox<TokenRef>(self); }

constexpr auto kTokenNew = signature(
    "ProofToken.__new__()", Callable::Constructor,
    "ProofToken(token_id, token_type, schema_version, status, closes_gaps, bounds_gaps, "
    "provenance_hash, issued_at, issuer, expires_at=None, details=None, "
    "is_negative_control=False)\n--\n\n",
    Param{"token_id"}, Param{"token_type"}, Param{"schema_version"}, Param{"status"},
    Param{"closes_gaps"}, Param{"bounds_gaps"}, Param{"provenance_hash"}, Param{"issued_at"},
    Param{"issuer"}, Param{"expires_at", Policy::OrNone}, Param{"details", Policy::OrNone},
    Param{"is_negative_control", Policy::OrValue, "False"});

PyObject* token_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  Args<kTokenNew> a;
  oq::RawProofToken raw;
  if (!a.bind(args, kwargs) || !a.get(0, raw.token_id, to_text) ||
      !a.get(1, raw.token_type, to_text) || !a.get(2, raw.schema_version, to_text) ||
      !a.get(3, raw.status, to_text) || !a.get(4, raw.closes_gaps, to_text_list) ||
      !a.get(5, raw.bounds_gaps, to_text_list) || !a.get(6, raw.provenance_hash, to_text) ||
      !a.get(7, raw.issued_at, to_real) || !a.get(8, raw.issuer, to_text) ||
      !a.get_optional(9, raw.expires_at, to_real) || !a.get_optional(10, raw.details, to_text) ||
      !a.get(11, raw.is_negative_control, to_bool)) {
    return nullptr;
  }
  auto token = ProofToken::create(std::move(raw));
  if (!token) return raise_error(token.error());
  return box(g_types.proof_token, share(std::move(*token)));
}

PyObject* token_id(PyObject* self, void*) { return new_str(token_of(self).token_id()); }
PyObject* token_type(PyObject* self, void*) { return new_str(token_of(self).token_type()); }
PyObject* token_schema(PyObject* self, void*) { return new_str(token_of(self).schema_version()); }
PyObject* token_provenance(PyObject* self, void*) {
  return new_str(token_of(self).provenance_hash());
}
PyObject* token_issuer(PyObject* self, void*) { return new_str(token_of(self).issuer()); }
PyObject* token_status(PyObject* self, void*) {
  return new_str(oq::token_status_name(token_of(self).status()));
}
PyObject* id_list(GapIdList::Range ids) {
  auto at = ids.begin();
  return list_of(ids.size(), [&](std::size_t) { return new_str(*at++); });
}
PyObject* token_closes(PyObject* self, void*) { return id_list(token_of(self).closes_gaps()); }
PyObject* token_bounds(PyObject* self, void*) { return id_list(token_of(self).bounds_gaps()); }
PyObject* token_nc(PyObject* self, void*) {
  return PyBool_FromLong(token_of(self).is_negative_control());
}
PyObject* token_details(PyObject* self, void*) {
  const std::string_view details = token_of(self).details_text();
  if (details.empty()) Py_RETURN_NONE;
  return new_str(details);
}

PyObject* token_repr(PyObject* self) {
  const ProofToken& token = token_of(self);
  return new_str("ProofToken(id=" + std::string(token.token_id()) +
                 ", type=" + std::string(token.token_type()) +
                 ", status=" + std::string(oq::token_status_name(token.status())) +
                 ", nc=" + (token.is_negative_control() ? "true" : "false") + ")");
}

PyObject* token_richcompare(PyObject* self, PyObject* other, int op) {
  return compare_equality(self, other, op, g_types.proof_token,
                          [](PyObject* a, PyObject* b) { return token_of(a) == token_of(b); });
}

PyGetSetDef kTokenGetters[] = {
    {"token_id", guarded<token_id>, nullptr, nullptr, nullptr},
    {"token_type", guarded<token_type>, nullptr, nullptr, nullptr},
    {"schema_version", guarded<token_schema>, nullptr, nullptr, nullptr},
    {"status", guarded<token_status>, nullptr, nullptr, nullptr},
    {"closes_gaps", guarded<token_closes>, nullptr, nullptr, nullptr},
    {"bounds_gaps", guarded<token_bounds>, nullptr, nullptr, nullptr},
    {"provenance_hash", guarded<token_provenance>, nullptr, nullptr, nullptr},
    {"issuer", guarded<token_issuer>, nullptr, nullptr, nullptr},
    {"details", guarded<token_details>, nullptr,
     "The details payload as a JSON string, or None if not set.", nullptr},
    {"is_negative_control", guarded<token_nc>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kTokenSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<TokenRef>)},
    {Py_tp_new, reinterpret_cast<void*>(guarded<token_new>)},
    {Py_tp_doc, const_cast<char*>(kTokenNew.doc)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<token_repr>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(guarded<token_richcompare>)},
    {Py_tp_getset, kTokenGetters},
    {0, nullptr},
};

PyType_Spec kTokenSpec = type_spec<TokenRef>("builtins.ProofToken", kTokenSlots);

// ----- compute_provenance_hash -----

constexpr auto kHash =
    signature("compute_provenance_hash()", Callable::Function,
              "compute_provenance_hash(claim_id, candidate_id, context_id, allowed_use)\n--\n\n"
              "Compute the provenance hash for a context tuple.",
              Param{"claim_id"}, Param{"candidate_id"}, Param{"context_id"}, Param{"allowed_use"});

PyObject* compute_provenance_hash(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  Args<kHash> a;
  std::string_view fields[4];
  if (!a.bind(args, nargs, kwnames)) return nullptr;
  for (std::size_t i = 0; i < 4; ++i) {
    if (!a.get(i, fields[i], to_text_view)) return nullptr;
  }
  const oq::Sha256Digest digest = oq::provenance_digest(fields[0], fields[1], fields[2], fields[3]);
  PyObject* hex = PyUnicode_New(2 * digest.size(), 127);
  if (!hex) return nullptr;
  oq::hex_into(digest, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(hex)));
  return hex;
}

PyMethodDef kHashFunction = {"compute_provenance_hash",
                             as_cfunction(guarded<compute_provenance_hash>), kFastFlags, kHash.doc};

}  // namespace

bool to_tokens(PyObject* obj, oq::TokenList& out) {
  std::vector<TokenRef> tokens;
  if (!to_boxed_list(obj, g_types.proof_token, "ProofToken", tokens)) return false;
  out = oq::TokenList(std::move(tokens));
  return true;
}

PyObject* proof_token_class() { return class_once(g_types.proof_token, &kTokenSpec); }

PyObject* compute_provenance_hash_function(PyObject* module) {
  return new_function(&kHashFunction, module);
}

}  // namespace oqpy
