// The Permission class: a level name with display, equality and hashing, plus the members
// answered against the default chain (constants, from_str, meet, ordering).
#include <string>

#include "convert.h"
#include "errors.h"
#include "guard.h"
#include "object.h"
#include "oq/default_chain.h"
#include "params.h"
#include "types.h"

namespace oqpy {

namespace {

using oq::Permission;

Permission& level_of(PyObject* self) { return unbox<Permission>(self); }

PyObject* as_str(PyObject* self, PyObject*) { return new_str(level_of(self).name()); }

PyObject* repr(PyObject* self) {
  return new_str("Permission." + std::string(level_of(self).name()));
}

PyObject* str(PyObject* self) { return new_str(level_of(self).name()); }

Py_hash_t hash(PyObject* self) { return hash_name(level_of(self).name()); }

PyObject* richcompare(PyObject* self, PyObject* other, int op) {
  if (op == Py_EQ || op == Py_NE) {
    return compare_equality(self, other, op, g_types.permission,
                            [](PyObject* a, PyObject* b) { return level_of(a) == level_of(b); });
  }
  if (Py_TYPE(other) != g_types.permission || Py_TYPE(self) != g_types.permission) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  const Permission a = level_of(self);
  const Permission b = level_of(other);
  const oq::PermissionChain& chain = *oq::default_chain();
  const auto ra = chain.rank(a);
  const auto rb = chain.rank(b);
  if (!ra || !rb) {
    return raise_panic("Permission::cmp called with a level not in the default chain: " +
                       std::string(a.name()) + " or " + std::string(b.name()) +
                       ". Use chain.cmp(&a, &b) against an explicit chain for non-default chains.");
  }
  Py_RETURN_RICHCOMPARE(*ra, *rb, op);
}

constexpr auto kFromStr =
    signature("Permission.from_str()", Callable::StaticMethod, "from_str(s)\n--\n\n", Param{"s"});

PyObject* from_str(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kFromStr> a;
  std::string_view text;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, text, to_text_view)) return nullptr;
  const auto level = oq::default_level_from_str(text);
  if (!level) return raise_error(level.error());
  return new_permission(*level);
}

constexpr auto kMeet =
    signature("Permission.meet()", Callable::Method, "meet($self, other)\n--\n\n", Param{"other"});

PyObject* meet(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kMeet> a;
  Permission other;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, other, to_permission)) return nullptr;
  auto lower = oq::default_chain()->meet(level_of(self), other);
  if (!lower) return raise_panic("Permission::meet: " + lower.error().text());
  return new_permission(*lower);
}

PyMethodDef kMethods[] = {
    {"as_str", guarded<as_str>, METH_NOARGS, "as_str($self)\n--\n\n"},
    {"from_str", as_cfunction(guarded<from_str>), kFastFlags | METH_STATIC, kFromStr.doc},
    {"meet", as_cfunction(guarded<meet>), kFastFlags, kMeet.doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Permission>)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<repr>)},
    {Py_tp_str, reinterpret_cast<void*>(guarded<str>)},
    {Py_tp_hash, reinterpret_cast<void*>(guarded<hash>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(guarded<richcompare>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = type_spec<Permission>("builtins.Permission", kSlots);

}  // namespace

PyObject* new_permission(Permission level) { return box(g_types.permission, level); }

bool to_permission(PyObject* obj, Permission& out) {
  return read_boxed(obj, g_types.permission, "Permission", out);
}

namespace {

bool add_level_constants(PyTypeObject* type) {
  for (const Permission level : oq::default_chain()->levels()) {
    const std::string name(level.name());
    if (!set_class_attr(type, name.c_str(), new_permission(level))) return false;
  }
  return true;
}

}  // namespace

PyObject* permission_class() { return class_once(g_types.permission, &kSpec, add_level_constants); }

}  // namespace oqpy
