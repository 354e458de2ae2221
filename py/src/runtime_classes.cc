// NegativeControlStatus and RuntimeContext: the moment at which a live judgment is used.
#include "runtime_classes.h"

#include <string>

#include "convert.h"
#include "guard.h"
#include "object.h"
#include "params.h"
#include "types.h"

namespace oqpy {

namespace {

using oq::NegativeControlStatus;
using RuntimeRef = std::shared_ptr<const oq::RuntimeContext>;

PyTypeObject* g_status = nullptr;
PyTypeObject* g_runtime = nullptr;

// ----- NegativeControlStatus -----

NegativeControlStatus status_of(PyObject* self) { return unbox<NegativeControlStatus>(self); }

PyObject* status_str(PyObject* self) {
  return new_str(oq::negative_control_status_name(status_of(self)));
}
PyObject* status_repr(PyObject* self) {
  return new_str("NegativeControlStatus." +
                 std::string(oq::negative_control_status_name(status_of(self))));
}
PyObject* status_richcompare(PyObject* self, PyObject* other, int op) {
  return compare_equality(self, other, op, g_status,
                          [](PyObject* a, PyObject* b) { return status_of(a) == status_of(b); });
}

PyType_Slot kStatusSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<NegativeControlStatus>)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<status_repr>)},
    {Py_tp_str, reinterpret_cast<void*>(guarded<status_str>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(guarded<status_richcompare>)},
    {0, nullptr},
};

PyType_Spec kStatusSpec =
    type_spec<NegativeControlStatus>("builtins.NegativeControlStatus", kStatusSlots);

bool add_statuses(PyTypeObject* type) {
  for (const NegativeControlStatus status :
       {NegativeControlStatus::Live, NegativeControlStatus::Stale, NegativeControlStatus::Failed,
        NegativeControlStatus::Missing}) {
    const std::string name(oq::negative_control_status_name(status));
    if (!set_class_attr(type, name.c_str(), box(type, status))) return false;
  }
  return true;
}

bool to_status(PyObject* obj, NegativeControlStatus& out) {
  return read_boxed(obj, g_status, "NegativeControlStatus", out);
}

// ----- RuntimeContext -----

const oq::RuntimeContext& runtime_of(PyObject* self) { return *unbox<RuntimeRef>(self); }

constexpr auto kRuntimeNew =
    signature("RuntimeContext.__new__()", Callable::Constructor,
              "RuntimeContext(now_unix, context_fingerprint, negative_control_states=None, "
              "strict_mode=True)\n--\n\n",
              Param{"now_unix"}, Param{"context_fingerprint"},
              Param{"negative_control_states", Policy::OrNone},
              Param{"strict_mode", Policy::OrValue, "True"});

// Reads the states from a snapshot of the dict's items, so hooks of the keys cannot change what is
// being read; a later duplicate of a key's text wins.
bool to_states(PyObject* obj, decltype(oq::RuntimeContext::negative_control_states)& out) {
  Ref items;
  if (!to_dict_items(obj, items)) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    std::string id;
    NegativeControlStatus status{};
    if (!to_text(PyTuple_GET_ITEM(pair, 0), id) || !to_status(PyTuple_GET_ITEM(pair, 1), status)) {
      return false;
    }
    out.insert_or_assign(std::move(id), status);
  }
  return true;
}

PyObject* runtime_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  Args<kRuntimeNew> a;
  oq::RuntimeContext runtime;
  double now = 0;
  if (!a.bind(args, kwargs) || !a.get(0, now, to_real) ||
      !a.get(1, runtime.context_fingerprint, to_text) ||
      !a.get(2, runtime.negative_control_states, to_states) ||
      !a.get(3, runtime.strict_mode, to_bool)) {
    return nullptr;
  }
  runtime.now = oq::from_unix_seconds_or_now(now);
  return box(g_runtime, std::make_shared<const oq::RuntimeContext>(std::move(runtime)));
}

PyObject* runtime_strict(PyObject* self, void*) {
  return PyBool_FromLong(runtime_of(self).strict_mode);
}
PyObject* runtime_repr(PyObject* self) { return new_str(oq::runtime_repr(runtime_of(self))); }

PyGetSetDef kRuntimeGetters[] = {
    {"strict_mode", guarded<runtime_strict>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kRuntimeSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<RuntimeRef>)},
    {Py_tp_new, reinterpret_cast<void*>(guarded<runtime_new>)},
    {Py_tp_doc, const_cast<char*>(kRuntimeNew.doc)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<runtime_repr>)},
    {Py_tp_getset, kRuntimeGetters},
    {0, nullptr},
};

PyType_Spec kRuntimeSpec = type_spec<RuntimeRef>("builtins.RuntimeContext", kRuntimeSlots);

}  // namespace

PyObject* negative_control_status_class() {
  return class_once(g_status, &kStatusSpec, add_statuses);
}
PyObject* runtime_context_class() { return class_once(g_runtime, &kRuntimeSpec); }

bool to_runtime(PyObject* obj, RuntimeRef& out) {
  return read_boxed(obj, g_runtime, "RuntimeContext", out);
}

PyTypeObject* runtime_context_type() { return g_runtime; }
PyTypeObject* negative_control_status_type() { return g_status; }
PyObject* new_runtime_context(RuntimeRef runtime) { return box(g_runtime, std::move(runtime)); }

}  // namespace oqpy
