// Membership, Scope, Expiry and ProofContext: the request that a compilation judges.
#include <string>
#include <vector>

#include "convert.h"
#include "errors.h"
#include "guard.h"
#include "object.h"
#include "oq/default_chain.h"
#include "params.h"
#include "types.h"

namespace oqpy {

namespace {

using oq::Expiry;
using oq::Membership;
using oq::ProofContext;
using oq::Scope;
using ContextRef = std::shared_ptr<const ProofContext>;

// ----- Membership -----

const Membership& membership_of(PyObject* self) { return unbox<Membership>(self); }

PyObject* new_membership(Membership membership) {
  return box(g_types.membership, std::move(membership));
}

constexpr auto kOther = signature("Membership.other()", Callable::StaticMethod,
                                  "other(reason)\n--\n\n", Param{"reason"});

PyObject* membership_other(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kOther> a;
  std::string reason;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, reason, to_text)) return nullptr;
  return new_membership(Membership::other(std::move(reason)));
}

PyObject* membership_is_in_class(PyObject* self, PyObject*) {
  return PyBool_FromLong(membership_of(self).is_in_class());
}

PyObject* membership_repr(PyObject* self) {
  return new_str(oq::membership_repr(membership_of(self)));
}

PyObject* membership_richcompare(PyObject* self, PyObject* other, int op) {
  return compare_equality(self, other, op, g_types.membership, [](PyObject* a, PyObject* b) {
    return membership_of(a) == membership_of(b);
  });
}

PyMethodDef kMembershipMethods[] = {
    {"other", as_cfunction(guarded<membership_other>), kFastFlags | METH_STATIC, kOther.doc},
    {"is_in_class", guarded<membership_is_in_class>, METH_NOARGS, "is_in_class($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kMembershipSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Membership>)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<membership_repr>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(guarded<membership_richcompare>)},
    {Py_tp_methods, kMembershipMethods},
    {0, nullptr},
};

PyType_Spec kMembershipSpec = type_spec<Membership>("builtins.Membership", kMembershipSlots);

bool add_memberships(PyTypeObject* type) {
  using Kind = Membership::Kind;
  for (const Kind kind :
       {Kind::InClass, Kind::OutOfClassExact, Kind::OutOfClassAuthorizedDeterministicWrite,
        Kind::OutOfClassNoConsequentialUse}) {
    const std::string name(oq::membership_kind_name(kind));
    if (!set_class_attr(type, name.c_str(), new_membership(Membership::of(kind)))) return false;
  }
  return true;
}

// ----- Scope -----

const Scope& scope_of(PyObject* self) { return unbox<Scope>(self); }

constexpr auto kScopeNew =
    signature("Scope.__new__()", Callable::Constructor,
              "Scope(allowed_candidates=None, allowed_paths=None, allowed_tools=None, "
              "allowed_resources=None)\n--\n\n",
              Param{"allowed_candidates", Policy::OrNone}, Param{"allowed_paths", Policy::OrNone},
              Param{"allowed_tools", Policy::OrNone}, Param{"allowed_resources", Policy::OrNone});

PyObject* scope_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  Args<kScopeNew> a;
  std::vector<std::string> lists[4];
  if (!a.bind(args, kwargs)) return nullptr;
  for (std::size_t i = 0; i < 4; ++i) {
    if (!a.get(i, lists[i], to_text_list)) return nullptr;
  }
  return box(g_types.scope, Scope(std::move(lists[0]), std::move(lists[1]), std::move(lists[2]),
                                  std::move(lists[3])));
}

PyObject* scope_candidates(PyObject* self, void*) {
  return text_list(scope_of(self).allowed_candidates());
}
PyObject* scope_paths(PyObject* self, void*) { return text_list(scope_of(self).allowed_paths()); }
PyObject* scope_tools(PyObject* self, void*) { return text_list(scope_of(self).allowed_tools()); }
PyObject* scope_resources(PyObject* self, void*) {
  return text_list(scope_of(self).allowed_resources());
}

PyObject* scope_repr(PyObject* self) { return new_str(oq::scope_repr(scope_of(self))); }

PyObject* scope_richcompare(PyObject* self, PyObject* other, int op) {
  return compare_equality(self, other, op, g_types.scope,
                          [](PyObject* a, PyObject* b) { return scope_of(a) == scope_of(b); });
}

PyGetSetDef kScopeGetters[] = {
    {"allowed_candidates", guarded<scope_candidates>, nullptr, nullptr, nullptr},
    {"allowed_paths", guarded<scope_paths>, nullptr, nullptr, nullptr},
    {"allowed_tools", guarded<scope_tools>, nullptr, nullptr, nullptr},
    {"allowed_resources", guarded<scope_resources>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kScopeSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Scope>)},
    {Py_tp_new, reinterpret_cast<void*>(guarded<scope_new>)},
    {Py_tp_doc, const_cast<char*>(kScopeNew.doc)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<scope_repr>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(guarded<scope_richcompare>)},
    {Py_tp_getset, kScopeGetters},
    {0, nullptr},
};

PyType_Spec kScopeSpec = type_spec<Scope>("builtins.Scope", kScopeSlots);

// ----- Expiry -----

const Expiry& expiry_of(PyObject* self) { return unbox<Expiry>(self); }

PyObject* expiry_never(PyObject*, PyObject*) { return box(g_types.expiry, Expiry::never()); }

constexpr auto kAt = signature("Expiry.at()", Callable::StaticMethod, "at(deadline_unix)\n--\n\n",
                               Param{"deadline_unix"});

PyObject* expiry_at(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kAt> a;
  double deadline = 0;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, deadline, to_real)) return nullptr;
  return box(g_types.expiry, Expiry::at(oq::from_unix_seconds_or_now(deadline)));
}

constexpr auto kFired = signature("Expiry.fired()", Callable::Method,
                                  "fired($self, now_unix)\n--\n\n", Param{"now_unix"});

PyObject* expiry_fired(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kFired> a;
  double now = 0;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, now, to_real)) return nullptr;
  return PyBool_FromLong(expiry_of(self).fired(oq::from_unix_seconds_or_now(now)));
}

PyObject* expiry_repr(PyObject* self) { return new_str(oq::expiry_repr(expiry_of(self))); }

PyMethodDef kExpiryMethods[] = {
    {"never", guarded<expiry_never>, METH_NOARGS | METH_STATIC, "never()\n--\n\n"},
    {"at", as_cfunction(guarded<expiry_at>), kFastFlags | METH_STATIC, kAt.doc},
    {"fired", as_cfunction(guarded<expiry_fired>), kFastFlags, kFired.doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kExpirySlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Expiry>)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<expiry_repr>)},
    {Py_tp_methods, kExpiryMethods},
    {0, nullptr},
};

PyType_Spec kExpirySpec = type_spec<Expiry>("builtins.Expiry", kExpirySlots);

// ----- ProofContext -----

const ProofContext& context_of(PyObject* self) { return *unbox<ContextRef>(self); }

constexpr auto kContextNew =
    signature("ProofContext.__new__()", Callable::Constructor,
              "ProofContext(claim_id, candidate_id, context_id, allowed_use, membership, "
              "authority_ceiling, expiry, gaps=None, profiles=None, tokens=None, "
              "disallowed_uses=None, scope=None, context_fingerprint=None)\n--\n\n",
              Param{"claim_id"}, Param{"candidate_id"}, Param{"context_id"}, Param{"allowed_use"},
              Param{"membership"}, Param{"authority_ceiling"}, Param{"expiry"},
              Param{"gaps", Policy::OrNone}, Param{"profiles", Policy::OrNone},
              Param{"tokens", Policy::OrNone}, Param{"disallowed_uses", Policy::OrNone},
              Param{"scope", Policy::OrNone}, Param{"context_fingerprint", Policy::OrNone});

PyObject* context_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  Args<kContextNew> a;
  oq::ProofContextFields f;
  oq::Permission ceiling;
  std::optional<std::string> fingerprint;
  // Every value is copied out of its argument before the next conversion runs.
  if (!a.bind(args, kwargs) || !a.get(0, f.claim_id, to_text) ||
      !a.get(1, f.candidate_id, to_text) || !a.get(2, f.context_id, to_text) ||
      !a.get(3, f.allowed_use, to_text) || !a.get(4, f.membership, to_membership) ||
      !a.get(5, ceiling, to_permission) || !a.get(6, f.expiry, to_expiry) ||
      !a.get(7, f.gaps, to_gap_records) || !a.get(8, f.profiles, to_profiles) ||
      !a.get(9, f.tokens, to_tokens) || !a.get(10, f.disallowed_uses, to_text_list) ||
      !a.get(11, f.scope, to_scope) || !a.get_optional(12, fingerprint, to_text)) {
    return nullptr;
  }
  f.authority_ceiling = ceiling;
  f.context_fingerprint = fingerprint ? std::move(*fingerprint) : f.context_id;
  return box(g_types.proof_context, std::make_shared<const ProofContext>(std::move(f)));
}

PyObject* context_claim(PyObject* self, void*) { return new_str(context_of(self).claim_id()); }
PyObject* context_candidate(PyObject* self, void*) {
  return new_str(context_of(self).candidate_id());
}
PyObject* context_id(PyObject* self, void*) { return new_str(context_of(self).context_id()); }
PyObject* context_use(PyObject* self, void*) { return new_str(context_of(self).allowed_use()); }
PyObject* context_ceiling(PyObject* self, void*) {
  return new_permission(context_of(self).authority_ceiling().value_or(oq::default_levels().AAA));
}

PyObject* context_provenance_hash(PyObject* self, PyObject*) {
  return new_str(context_of(self).provenance_hash());
}

PyObject* context_repr(PyObject* self) { return new_str(oq::context_repr(context_of(self))); }

PyMethodDef kContextMethods[] = {
    {"provenance_hash", guarded<context_provenance_hash>, METH_NOARGS,
     "provenance_hash($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kContextGetters[] = {
    {"claim_id", guarded<context_claim>, nullptr, nullptr, nullptr},
    {"candidate_id", guarded<context_candidate>, nullptr, nullptr, nullptr},
    {"context_id", guarded<context_id>, nullptr, nullptr, nullptr},
    {"allowed_use", guarded<context_use>, nullptr, nullptr, nullptr},
    {"authority_ceiling", guarded<context_ceiling>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kContextSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<ContextRef>)},
    {Py_tp_new, reinterpret_cast<void*>(guarded<context_new>)},
    {Py_tp_doc, const_cast<char*>(kContextNew.doc)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<context_repr>)},
    {Py_tp_methods, kContextMethods},
    {Py_tp_getset, kContextGetters},
    {0, nullptr},
};

PyType_Spec kContextSpec = type_spec<ContextRef>("builtins.ProofContext", kContextSlots);

}  // namespace

bool to_membership(PyObject* obj, Membership& out) {
  return read_boxed(obj, g_types.membership, "Membership", out);
}
bool to_scope(PyObject* obj, Scope& out) { return read_boxed(obj, g_types.scope, "Scope", out); }
bool to_expiry(PyObject* obj, Expiry& out) {
  return read_boxed(obj, g_types.expiry, "Expiry", out);
}
bool to_context(PyObject* obj, ContextRef& out) {
  return read_boxed(obj, g_types.proof_context, "ProofContext", out);
}

PyObject* new_expiry(const Expiry& expiry) { return box(g_types.expiry, expiry); }
PyObject* new_context(ContextRef context) { return box(g_types.proof_context, std::move(context)); }

PyObject* membership_class() {
  return class_once(g_types.membership, &kMembershipSpec, add_memberships);
}
PyObject* scope_class() { return class_once(g_types.scope, &kScopeSpec); }
PyObject* expiry_class() { return class_once(g_types.expiry, &kExpirySpec); }
PyObject* proof_context_class() { return class_once(g_types.proof_context, &kContextSpec); }

}  // namespace oqpy
