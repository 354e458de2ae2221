// InMemoryChainRegistry and verify_published, which audit judgments against published chains.
#include "registry_classes.h"

#include "convert.h"
#include "errors.h"
#include "guard.h"
#include "judgment_classes.h"
#include "object.h"
#include "oq/default_chain.h"
#include "oq/registry.h"
#include "params.h"
#include "types.h"

namespace oqpy {

namespace {

using oq::ChainRegistry;

PyTypeObject* g_registry = nullptr;

// The one mutable record of the module: a registry only grows, through publish.
ChainRegistry& registry_of(PyObject* self) { return unbox<ChainRegistry>(self); }

constexpr auto kRegistryNew = signature("InMemoryChainRegistry.__new__()", Callable::Constructor,
                                        "InMemoryChainRegistry()\n--\n\n");

PyObject* registry_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  Args<kRegistryNew> a;
  if (!a.bind(args, kwargs)) return nullptr;
  return box(g_registry, ChainRegistry());
}

constexpr auto kPublish = signature("InMemoryChainRegistry.publish()", Callable::Method,
                                    "publish($self, chain)\n--\n\n", Param{"chain"});

PyObject* registry_publish(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  Args<kPublish> a;
  std::shared_ptr<const oq::PermissionChain> chain;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, chain, to_chain)) return nullptr;
  return new_chain_hash(registry_of(self).publish(std::move(chain)));
}

constexpr auto kLookup = signature("InMemoryChainRegistry.lookup()", Callable::Method,
                                   "lookup($self, hash)\n--\n\n", Param{"hash"});

PyObject* registry_lookup(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  Args<kLookup> a;
  oq::ChainHash hash(oq::Sha256Digest{});
  if (!a.bind(args, nargs, kwnames) || !a.get(0, hash, to_chain_hash)) return nullptr;
  auto chain = registry_of(self).lookup(hash);
  if (!chain) Py_RETURN_NONE;
  return new_chain(std::move(chain));
}

Py_ssize_t registry_len(PyObject* self) {
  return static_cast<Py_ssize_t>(registry_of(self).size());
}

PyMethodDef kRegistryMethods[] = {
    {"publish", as_cfunction(guarded<registry_publish>), kFastFlags, kPublish.doc},
    {"lookup", as_cfunction(guarded<registry_lookup>), kFastFlags, kLookup.doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kRegistrySlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<ChainRegistry>)},
    {Py_tp_new, reinterpret_cast<void*>(guarded<registry_new>)},
    {Py_tp_doc, const_cast<char*>(kRegistryNew.doc)},
    {Py_tp_methods, kRegistryMethods},
    {Py_mp_length, reinterpret_cast<void*>(guarded<registry_len>)},
    {Py_sq_length, reinterpret_cast<void*>(guarded<registry_len>)},
    {0, nullptr},
};

PyType_Spec kRegistrySpec =
    type_spec<ChainRegistry>("builtins.InMemoryChainRegistry", kRegistrySlots);

bool to_registry(PyObject* obj, const ChainRegistry*& out) {
  if (!check_instance(obj, g_registry, "InMemoryChainRegistry")) return false;
  out = &registry_of(obj);  // held by the call's arguments; nothing below runs Python
  return true;
}

constexpr auto kVerify =
    signature("verify_published()", Callable::Function,
              "verify_published(judgment, registry)\n--\n\n", Param{"judgment"}, Param{"registry"});

PyObject* verify_published(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kVerify> a;
  std::shared_ptr<const oq::CompiledJudgment> judgment;
  const ChainRegistry* registry = nullptr;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, judgment, to_judgment) ||
      !a.get(1, registry, to_registry)) {
    return nullptr;
  }
  if (auto verified = registry->verify(judgment->chain_hash); !verified) {
    return raise_error(verified.error());
  }
  Py_RETURN_NONE;
}

PyMethodDef kVerifyFunction = {"verify_published", as_cfunction(guarded<verify_published>),
                               kFastFlags, kVerify.doc};

}  // namespace

PyObject* registry_class() { return class_once(g_registry, &kRegistrySpec); }
PyObject* verify_published_function(PyObject* module) {
  return new_function(&kVerifyFunction, module);
}

}  // namespace oqpy
