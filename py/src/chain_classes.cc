// The classes of chains: ChainRole, ChainHash and PermissionChain.
#include <cstring>
#include <string>
#include <vector>

#include "convert.h"
#include "errors.h"
#include "guard.h"
#include "object.h"
#include "oq/default_chain.h"
#include "oq/quote.h"
#include "params.h"
#include "types.h"

namespace oqpy {

namespace {

using oq::ChainHash;
using oq::ChainRole;
using oq::PermissionChain;
using ChainRef = std::shared_ptr<const PermissionChain>;

// ----- ChainRole -----

ChainRole& role_of(PyObject* self) { return unbox<ChainRole>(self); }

PyObject* role_repr(PyObject* self) {
  return new_str("ChainRole." + std::string(oq::role_name(role_of(self))));
}

Py_hash_t role_hash(PyObject* self) { return hash_name(oq::role_name(role_of(self))); }

PyObject* role_richcompare(PyObject* self, PyObject* other, int op) {
  return compare_equality(self, other, op, g_types.chain_role,
                          [](PyObject* a, PyObject* b) { return role_of(a) == role_of(b); });
}

PyType_Slot kRoleSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<ChainRole>)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<role_repr>)},
    {Py_tp_hash, reinterpret_cast<void*>(guarded<role_hash>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(guarded<role_richcompare>)},
    {0, nullptr},
};

PyType_Spec kRoleSpec = type_spec<ChainRole>("builtins.ChainRole", kRoleSlots);

// ----- ChainHash -----

ChainHash& hash_of(PyObject* self) { return unbox<ChainHash>(self); }

PyObject* hash_to_hex(PyObject* self, PyObject*) { return new_str(hash_of(self).to_hex()); }

PyObject* hash_str(PyObject* self) { return new_str(hash_of(self).to_hex()); }

PyObject* hash_repr(PyObject* self) { return new_str("ChainHash(" + hash_of(self).to_hex() + ")"); }

Py_hash_t hash_hash(PyObject* self) {
  // The canonical bytes: the length 32 as a little-endian u64, then the digest.
  const auto& digest = hash_of(self).bytes();
  char bytes[8 + sizeof digest] = {32};
  std::memcpy(bytes + 8, digest.data(), digest.size());
  return hash_bytes(std::string_view(bytes, sizeof bytes));
}

PyObject* hash_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(self) != g_types.chain_hash ||
      Py_TYPE(other) != g_types.chain_hash) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  const bool equal = hash_of(self) == hash_of(other);
  return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

constexpr auto kFromHex =
    signature("ChainHash.from_hex()", Callable::StaticMethod, "from_hex(s)\n--\n\n", Param{"s"});

PyObject* hash_from_hex(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kFromHex> a;
  std::string_view text;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, text, to_text_view)) return nullptr;
  const auto hash = ChainHash::from_hex(text);
  if (!hash) return raise_error(hash.error());
  return new_chain_hash(*hash);
}

PyMethodDef kHashMethods[] = {
    {"to_hex", guarded<hash_to_hex>, METH_NOARGS, "to_hex($self)\n--\n\n"},
    {"from_hex", as_cfunction(guarded<hash_from_hex>), kFastFlags | METH_STATIC, kFromHex.doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kHashSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<ChainHash>)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<hash_repr>)},
    {Py_tp_str, reinterpret_cast<void*>(guarded<hash_str>)},
    {Py_tp_hash, reinterpret_cast<void*>(guarded<hash_hash>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(guarded<hash_richcompare>)},
    {Py_tp_methods, kHashMethods},
    {0, nullptr},
};

PyType_Spec kHashSpec = type_spec<ChainHash>("builtins.ChainHash", kHashSlots);

// ----- PermissionChain -----

const PermissionChain& chain_of(PyObject* self) { return *unbox<ChainRef>(self); }

constexpr auto kNew =
    signature("PermissionChain.new()", Callable::StaticMethod,
              "new(levels, roles)\n--\n\n"
              "Construct a validated permission chain.\n\n"
              "`levels` is a list of distinct level names, ordered from Bottom to Top.\n"
              "`roles` is a dict mapping `ChainRole` objects to indices in `levels`.\n\n"
              "Raises ChainError if the chain fails validation (rules L1-L9 of chain\n"
              "construction).",
              Param{"levels"}, Param{"roles"});

PyObject* chain_new(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kNew> a;
  std::vector<std::string> names;
  Ref items;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, names, to_text_list) ||
      !a.get(1, items, to_dict_items)) {
    return nullptr;
  }
  PermissionChain::RoleBindings roles;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    ChainRole role;
    std::uint64_t index = 0;
    if (!to_chain_role(PyTuple_GET_ITEM(pair, 0), role) ||
        !to_index(PyTuple_GET_ITEM(pair, 1), index)) {
      return a.failed(1);
    }
    roles[static_cast<int>(role)] = index;
  }
  const std::vector<std::string_view> views(names.begin(), names.end());
  auto chain = PermissionChain::create(views, roles);
  if (!chain) return raise_error(chain.error());
  return new_chain(std::make_shared<const PermissionChain>(std::move(*chain)));
}

PyObject* chain_default(PyObject*, PyObject*) { return new_chain(oq::default_chain()); }

constexpr auto kRole = signature(
    "PermissionChain.role()", Callable::Method,
    "role($self, role)\n--\n\nLook up the permission level bound to a given role.", Param{"role"});

PyObject* chain_role(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kRole> a;
  ChainRole role;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, role, to_chain_role)) return nullptr;
  return new_permission(chain_of(self).role(role));
}

constexpr auto kParse = signature(
    "PermissionChain.parse()", Callable::Method,
    "parse($self, name)\n--\n\nParse a level name. Returns None if the name is not in this "
    "chain.",
    Param{"name"});

PyObject* chain_parse(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kParse> a;
  std::string_view name;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, name, to_text_view)) return nullptr;
  if (auto level = chain_of(self).parse(name)) return new_permission(*level);
  Py_RETURN_NONE;
}

constexpr auto kRank = signature(
    "PermissionChain.rank()", Callable::Method,
    "rank($self, p)\n--\n\nRank of a level within this chain. Returns None for foreign levels.",
    Param{"p"});

PyObject* chain_rank(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kRank> a;
  oq::Permission level;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, level, to_permission)) return nullptr;
  if (auto rank = chain_of(self).rank(level)) return PyLong_FromLong(*rank);
  Py_RETURN_NONE;
}

constexpr auto kChainMeet =
    signature("PermissionChain.meet()", Callable::Method,
              "meet($self, a, b)\n--\n\nMeet (min under the chain's order) of two levels.",
              Param{"a"}, Param{"b"});

PyObject* chain_meet(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kChainMeet> a;
  oq::Permission first, second;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, first, to_permission) ||
      !a.get(1, second, to_permission)) {
    return nullptr;
  }
  auto lower = chain_of(self).meet(first, second);
  if (!lower) return raise_error(lower.error());
  return new_permission(*lower);
}

PyObject* level_list(const PermissionChain& chain, bool descending) {
  const auto levels = chain.levels();
  const std::size_t n = levels.size();
  return list_of(n,
                 [&](std::size_t i) { return new_permission(levels[descending ? n - 1 - i : i]); });
}

PyObject* chain_ascending(PyObject* self, PyObject*) { return level_list(chain_of(self), false); }
PyObject* chain_descending(PyObject* self, PyObject*) { return level_list(chain_of(self), true); }

constexpr auto kContains =
    signature("PermissionChain.contains()", Callable::Method,
              "contains($self, p)\n--\n\nWhether this chain contains a level with the given name.",
              Param{"p"});

PyObject* chain_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  Args<kContains> a;
  oq::Permission level;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, level, to_permission)) return nullptr;
  return PyBool_FromLong(chain_of(self).contains(level.name()));
}

PyObject* chain_hash_method(PyObject* self, PyObject*) {
  return new_chain_hash(chain_of(self).hash());
}

Py_ssize_t chain_len(PyObject* self) { return static_cast<Py_ssize_t>(chain_of(self).size()); }

PyObject* chain_repr(PyObject* self) {
  const PermissionChain& chain = chain_of(self);
  std::string text = "PermissionChain([";
  bool first = true;
  for (const oq::Permission level : chain.levels()) {
    if (!first) text += ", ";
    first = false;
    oq::append_quoted(text, level.name());
  }
  text += "], hash=" + chain.hash().to_hex() + ")";
  return new_str(text);
}

PyObject* chain_richcompare(PyObject* self, PyObject* other, int op) {
  return compare_equality(self, other, op, g_types.permission_chain, [](PyObject* a, PyObject* b) {
    return chain_of(a).hash() == chain_of(b).hash();
  });
}

PyMethodDef kChainMethods[] = {
    {"new", as_cfunction(guarded<chain_new>), kFastFlags | METH_STATIC, kNew.doc},
    {"default_chain", guarded<chain_default>, METH_NOARGS | METH_STATIC,
     "default_chain()\n--\n\nReturn the default 12-level chain (OOC..AAA)."},
    {"role", as_cfunction(guarded<chain_role>), kFastFlags, kRole.doc},
    {"parse", as_cfunction(guarded<chain_parse>), kFastFlags, kParse.doc},
    {"rank", as_cfunction(guarded<chain_rank>), kFastFlags, kRank.doc},
    {"meet", as_cfunction(guarded<chain_meet>), kFastFlags, kChainMeet.doc},
    {"ascending", guarded<chain_ascending>, METH_NOARGS,
     "ascending($self)\n--\n\nAll levels from bottom to top."},
    {"descending", guarded<chain_descending>, METH_NOARGS,
     "descending($self)\n--\n\nAll levels from top to bottom."},
    {"contains", as_cfunction(guarded<chain_contains>), kFastFlags, kContains.doc},
    {"chain_hash", guarded<chain_hash_method>, METH_NOARGS,
     "chain_hash($self)\n--\n\nContent hash over (ordered names, role bindings)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kChainSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<ChainRef>)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<chain_repr>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(guarded<chain_richcompare>)},
    {Py_mp_length, reinterpret_cast<void*>(guarded<chain_len>)},
    {Py_sq_length, reinterpret_cast<void*>(guarded<chain_len>)},
    {Py_tp_methods, kChainMethods},
    {0, nullptr},
};

PyType_Spec kChainSpec = type_spec<ChainRef>("builtins.PermissionChain", kChainSlots);

}  // namespace

PyObject* new_chain_role(ChainRole role) { return box(g_types.chain_role, role); }
PyObject* new_chain_hash(const ChainHash& hash) { return box(g_types.chain_hash, hash); }
PyObject* new_chain(ChainRef chain) { return box(g_types.permission_chain, std::move(chain)); }

bool to_chain_role(PyObject* obj, ChainRole& out) {
  return read_boxed(obj, g_types.chain_role, "ChainRole", out);
}
bool to_chain_hash(PyObject* obj, ChainHash& out) {
  return read_boxed(obj, g_types.chain_hash, "ChainHash", out);
}
bool to_chain(PyObject* obj, ChainRef& out) {
  return read_boxed(obj, g_types.permission_chain, "PermissionChain", out);
}

namespace {

bool add_roles(PyTypeObject* type) {
  for (const ChainRole role : oq::kAllRoles) {
    const std::string name(oq::role_name(role));
    if (!set_class_attr(type, name.c_str(), new_chain_role(role))) return false;
  }
  return true;
}

}  // namespace

PyObject* chain_role_class() { return class_once(g_types.chain_role, &kRoleSpec, add_roles); }
PyObject* chain_hash_class() { return class_once(g_types.chain_hash, &kHashSpec); }
PyObject* permission_chain_class() { return class_once(g_types.permission_chain, &kChainSpec); }

}  // namespace oqpy
