// GapRecord, GapRequirement and Profile: the evidence gaps of a request and what each level needs.
#include <string>
#include <vector>

#include "convert.h"
#include "errors.h"
#include "guard.h"
#include "object.h"
#include "params.h"
#include "types.h"

namespace oqpy {

namespace {

using oq::GapKind;
using oq::GapRecord;
using oq::GapRequirement;
using oq::GapStatus;
using RequirementRef = std::shared_ptr<const GapRequirement>;
using ProfileRef = std::shared_ptr<const oq::Profile>;

// ----- GapRecord -----

const GapRecord& record_of(PyObject* self) { return unbox<GapRecord>(self); }

constexpr auto kRecordNew =
    signature("GapRecord.__new__()", Callable::Constructor,
              "GapRecord(gap_id, gap_type, status=\"open\", bound_value=None)\n--\n\n",
              Param{"gap_id"}, Param{"gap_type"}, Param{"status", Policy::OrValue, "\"open\""},
              Param{"bound_value", Policy::OrNone});

PyObject* record_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  Args<kRecordNew> a;
  std::string gap_id, gap_type;
  std::string_view name = "open";
  std::optional<double> bound;
  if (!a.bind(args, kwargs) || !a.get(0, gap_id, to_text) || !a.get(1, gap_type, to_text) ||
      !a.get(2, name, to_text_view) || !a.get_optional(3, bound, to_real)) {
    return nullptr;
  }
  const auto kind = oq::parse_gap_kind(name);
  if (!kind) return raise_error(kind.error());
  GapStatus status = GapStatus::open();
  if (*kind == GapKind::Closed) status = GapStatus::closed();
  if (*kind == GapKind::Bounded) status = GapStatus::bounded(bound.value_or(0.0));
  return box(g_types.gap_record, GapRecord(std::move(gap_id), std::move(gap_type), status));
}

PyObject* record_gap_id(PyObject* self, void*) { return new_str(record_of(self).gap_id()); }
PyObject* record_gap_type(PyObject* self, void*) { return new_str(record_of(self).gap_type()); }
PyObject* record_status(PyObject* self, void*) {
  return new_str(oq::gap_kind_name(record_of(self).status().kind()));
}

PyObject* record_repr(PyObject* self) {
  const GapRecord& record = record_of(self);
  return new_str("GapRecord(gap_id=" + record.gap_id() + ", gap_type=" + record.gap_type() +
                 ", status=" + std::string(oq::gap_kind_name(record.status().kind())) + ")");
}

PyObject* record_richcompare(PyObject* self, PyObject* other, int op) {
  return compare_equality(self, other, op, g_types.gap_record,
                          [](PyObject* a, PyObject* b) { return record_of(a) == record_of(b); });
}

PyGetSetDef kRecordGetters[] = {
    {"gap_id", guarded<record_gap_id>, nullptr, nullptr, nullptr},
    {"gap_type", guarded<record_gap_type>, nullptr, nullptr, nullptr},
    {"status", guarded<record_status>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kRecordSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<GapRecord>)},
    {Py_tp_new, reinterpret_cast<void*>(guarded<record_new>)},
    {Py_tp_doc, const_cast<char*>(kRecordNew.doc)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<record_repr>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(guarded<record_richcompare>)},
    {Py_tp_getset, kRecordGetters},
    {0, nullptr},
};

PyType_Spec kRecordSpec = type_spec<GapRecord>("builtins.GapRecord", kRecordSlots);

// ----- GapRequirement -----

const GapRequirement& requirement_of(PyObject* self) { return *unbox<RequirementRef>(self); }

PyObject* new_requirement(GapRequirement requirement) {
  return box(g_types.gap_requirement,
             std::make_shared<const GapRequirement>(std::move(requirement)));
}

constexpr auto kRequirementNew = signature("GapRequirement.__new__()", Callable::Constructor,
                                           "GapRequirement(gap_id, minimum_status)\n--\n\n",
                                           Param{"gap_id"}, Param{"minimum_status"});

PyObject* requirement_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  Args<kRequirementNew> a;
  std::string gap_id;
  std::string_view minimum_name;
  if (!a.bind(args, kwargs) || !a.get(0, gap_id, to_text) ||
      !a.get(1, minimum_name, to_text_view)) {
    return nullptr;
  }
  const auto minimum = oq::parse_required_status(minimum_name);
  if (!minimum) return raise_error(minimum.error());
  return new_requirement(GapRequirement::single(std::move(gap_id), *minimum));
}

constexpr auto kAnyOf =
    signature("GapRequirement.any_of()", Callable::StaticMethod,
              "any_of(arms)\n--\n\n"
              "Construct a disjunctive requirement satisfied by any of the supplied arms.\n"
              "Each arm is itself a GapRequirement (which may itself be `any_of`).\n"
              "The derivation step records which arm fired by gap_id.",
              Param{"arms"});

PyObject* requirement_any_of(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  Args<kAnyOf> a;
  std::vector<RequirementRef> arms;
  const auto read_arms = [](PyObject* obj, std::vector<RequirementRef>& out) {
    return to_boxed_list(obj, g_types.gap_requirement, "GapRequirement", out);
  };
  if (!a.bind(args, nargs, kwnames) || !a.get(0, arms, read_arms)) return nullptr;
  return new_requirement(GapRequirement::any_of(std::move(arms)));
}

PyObject* requirement_gap_id(PyObject* self, void*) {
  return new_str(requirement_of(self).gap_id());
}
PyObject* requirement_minimum(PyObject* self, void*) {
  return new_str(oq::gap_kind_name(requirement_of(self).minimum_status()));
}
PyObject* requirement_is_any_of(PyObject* self, void*) {
  return PyBool_FromLong(requirement_of(self).is_any_of());
}

PyObject* requirement_repr(PyObject* self) {
  const GapRequirement& requirement = requirement_of(self);
  if (requirement.is_any_of()) {
    return new_str("GapRequirement(any_of=[" + std::to_string(requirement.arms().size()) +
                   " arms])");
  }
  return new_str("GapRequirement(gap_id=" + requirement.gap_id() + ", minimum_status=" +
                 std::string(oq::gap_kind_name(requirement.minimum_status())) + ")");
}

PyMethodDef kRequirementMethods[] = {
    {"any_of", as_cfunction(guarded<requirement_any_of>), kFastFlags | METH_STATIC, kAnyOf.doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kRequirementGetters[] = {
    {"gap_id", guarded<requirement_gap_id>, nullptr, nullptr, nullptr},
    {"minimum_status", guarded<requirement_minimum>, nullptr, nullptr, nullptr},
    {"is_any_of", guarded<requirement_is_any_of>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kRequirementSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<RequirementRef>)},
    {Py_tp_new, reinterpret_cast<void*>(guarded<requirement_new>)},
    {Py_tp_doc, const_cast<char*>(kRequirementNew.doc)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<requirement_repr>)},
    {Py_tp_methods, kRequirementMethods},
    {Py_tp_getset, kRequirementGetters},
    {0, nullptr},
};

PyType_Spec kRequirementSpec =
    type_spec<RequirementRef>("builtins.GapRequirement", kRequirementSlots);

// ----- Profile -----

const oq::Profile& profile_of(PyObject* self) { return *unbox<ProfileRef>(self); }

constexpr auto kProfileNew = signature("Profile.__new__()", Callable::Constructor,
                                       "Profile(permission, required_gaps)\n--\n\n",
                                       Param{"permission"}, Param{"required_gaps"});

PyObject* profile_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  Args<kProfileNew> a;
  oq::Permission permission;
  std::vector<RequirementRef> refs;
  const auto read_requirements = [](PyObject* obj, std::vector<RequirementRef>& out) {
    return to_boxed_list(obj, g_types.gap_requirement, "GapRequirement", out);
  };
  if (!a.bind(args, kwargs) || !a.get(0, permission, to_permission) ||
      !a.get(1, refs, read_requirements)) {
    return nullptr;
  }
  std::vector<GapRequirement> required;
  required.reserve(refs.size());
  for (const RequirementRef& ref : refs) required.push_back(*ref);
  return box(g_types.profile, std::make_shared<const oq::Profile>(permission, std::move(required)));
}

PyObject* profile_permission(PyObject* self, void*) {
  return new_permission(profile_of(self).permission());
}

PyObject* profile_repr(PyObject* self) {
  const oq::Profile& profile = profile_of(self);
  return new_str("Profile(permission=" + std::string(profile.permission().name()) +
                 ", gaps=" + std::to_string(profile.required_gaps().size()) + ")");
}

PyGetSetDef kProfileGetters[] = {
    {"permission", guarded<profile_permission>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kProfileSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<ProfileRef>)},
    {Py_tp_new, reinterpret_cast<void*>(guarded<profile_new>)},
    {Py_tp_doc, const_cast<char*>(kProfileNew.doc)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<profile_repr>)},
    {Py_tp_getset, kProfileGetters},
    {0, nullptr},
};

PyType_Spec kProfileSpec = type_spec<ProfileRef>("builtins.Profile", kProfileSlots);

}  // namespace

bool to_gap_records(PyObject* obj, std::vector<GapRecord>& out) {
  return to_boxed_list(obj, g_types.gap_record, "GapRecord", out);
}

bool to_profiles(PyObject* obj, std::vector<ProfileRef>& out) {
  return to_boxed_list(obj, g_types.profile, "Profile", out);
}

PyObject* gap_record_class() { return class_once(g_types.gap_record, &kRecordSpec); }
PyObject* gap_requirement_class() { return class_once(g_types.gap_requirement, &kRequirementSpec); }
PyObject* profile_class() { return class_once(g_types.profile, &kProfileSpec); }

}  // namespace oqpy
