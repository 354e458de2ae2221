// Module initialisation: binds the module to the first interpreter that imports it and registers
// the exception classes, classes and functions in their fixed order, building __all__ as it goes.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <exception>

#include "composition.h"
#include "errors.h"
#include "guard.h"
#include "judgment_classes.h"
#include "pickling.h"
#include "reading.h"
#include "record_rendering.h"
#include "ref.h"
#include "registry_classes.h"
#include "runtime_classes.h"
#include "types.h"

namespace oqpy {

namespace {

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT, "_ostrel_quorvane", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;

template <Exc E>
PyObject* exception_ref(PyObject*) {
  return Py_XNewRef(exception_class(E));
}

template <PyObject* (*Create)()>
PyObject* class_ref(PyObject*) {
  return Create();
}

struct Registration {
  const char* name;
  PyObject* (*create)(PyObject* module);  // a new reference, or null on failure
};

constexpr Registration kRegistrations[] = {
    {"QuorvaneError", exception_ref<Exc::Quorvane>},
    {"ExpiredError", exception_ref<Exc::Expired>},
    {"CompositionError", exception_ref<Exc::Composition>},
    {"ProvenanceError", exception_ref<Exc::Provenance>},
    {"ChainError", exception_ref<Exc::Chain>},
    {"AuditError", exception_ref<Exc::Audit>},
    {"NegativeControlStatus", class_ref<negative_control_status_class>},
    {"DerivationStep", class_ref<derivation_step_class>},
    {"Derivation", class_ref<derivation_class>},
    {"Permission", class_ref<permission_class>},
    {"Scope", class_ref<scope_class>},
    {"GapRecord", class_ref<gap_record_class>},
    {"GapRequirement", class_ref<gap_requirement_class>},
    {"Profile", class_ref<profile_class>},
    {"ProofToken", class_ref<proof_token_class>},
    {"Expiry", class_ref<expiry_class>},
    {"Membership", class_ref<membership_class>},
    {"ProofContext", class_ref<proof_context_class>},
    {"Judgment", class_ref<judgment_class>},
    {"RuntimeContext", class_ref<runtime_context_class>},
    {"LiveJudgment", class_ref<live_judgment_class>},
    {"ChainRole", class_ref<chain_role_class>},
    {"ChainHash", class_ref<chain_hash_class>},
    {"PermissionChain", class_ref<permission_chain_class>},
    {"InMemoryChainRegistry", class_ref<registry_class>},
    {"compile", compile_function},
    {"compile_static", compile_static_function},
    {"compose", compose_function},
    {"compute_provenance_hash", compute_provenance_hash_function},
    {"init_tracing", init_tracing_function},
    {"verify_published", verify_published_function},
};

// Helpers of the package `ostrel_quorvane`: module attributes with underscore names, left out of
// __all__.
constexpr Registration kPrivateRegistrations[] = {
    {"_compile_at", compile_at_function},
    {"_compile_static_at", compile_static_at_function},
    {"_compose_at", compose_at_function},
    {"_evaluate_live", evaluate_live_function},
    {"_moment", moment_function},
    {"_state", state_function},
    {"_restore", restore_function},
    {"_read_request", read_request_function},
    {"_read_chain", read_chain_function},
    {"_read_time", read_time_function},
    {"_check_json", check_json_function},
    {"_read_members", read_members_function},
    {"_read_file", read_file_function},
    {"_decide", decide_function},
    {"_reformat_json", reformat_json_function},
    {"_utc_text", utc_text_function},
    {"_canonical_json", canonical_json_function},
};

bool register_all(PyObject* module) {
  Ref all = Ref::steal(PyList_New(0));
  if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return false;
  for (const Registration& entry : kRegistrations) {
    Ref object = Ref::steal(entry.create(module));
    if (!object) return false;
    Ref name = Ref::steal(PyUnicode_FromString(entry.name));
    if (!name || PyList_Append(all.get(), name.get()) < 0 ||
        PyModule_AddObjectRef(module, entry.name, object.get()) < 0) {
      return false;
    }
  }
  for (const Registration& entry : kPrivateRegistrations) {
    Ref object = Ref::steal(entry.create(module));
    if (!object || PyModule_AddObjectRef(module, entry.name, object.get()) < 0) return false;
  }
  return add_log_proof_functions(module);
}

PyObject* init_module() {
  // The C++ runtime keeps its exception state in thread-local storage that it allocates on the
  // thread's first use; if that allocation fails, the process aborts instead of the exception
  // reaching the guard. Touching it now, while memory is plentiful, keeps a later out-of-memory
  // on the importing thread an ordinary MemoryError.
  // The result is kept in a volatile: the library declares the call pure, which would let the
  // compiler drop it.
  [[maybe_unused]] volatile int touched = std::uncaught_exceptions();
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current < 0) return nullptr;
  std::int64_t expected = -1;
  if (!g_interpreter.compare_exchange_strong(expected, current) && expected != current) {
    PyErr_SetString(PyExc_ImportError,
                    "_ostrel_quorvane does not support subinterpreters: it is already bound to "
                    "another interpreter of this process");
    return nullptr;
  }
  if (g_module) return Py_NewRef(g_module);
  Ref module = Ref::steal(PyModule_Create(&g_definition));
  if (!module || !register_all(module.get())) return nullptr;
  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace

}  // namespace oqpy

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__ostrel_quorvane() {
  return oqpy::guarded<oqpy::init_module>();
}
