// The state of every value class as plain Python values, and the objects rebuilt from it: what the
// package's pickle reducers use, since the classes' module name cannot lead pickle to them.
//
// `_state(obj)` gives (kind, state); `_restore(kind, state)` rebuilds an equal object. A state
// names other module objects (a context's tokens, a judgment's context), which pickle saves and
// shares on its own. Requirement trees are flattened, shared arms once, so that no depth of
// nesting recurses. A state is read as untrusted input: every index, range and enumeration value
// is checked before it is used, and a bad one raises ValueError or TypeError.
// The "#" formats of Py_BuildValue take Py_ssize_t lengths.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "convert.h"
#include "guard.h"
#include "judgment_classes.h"
#include "object.h"
#include "oq/details.h"
#include "params.h"
#include "pickling.h"
#include "ref.h"
#include "runtime_classes.h"
#include "types.h"

namespace oqpy {

namespace {

using oq::GapRequirement;
using JudgmentRef = std::shared_ptr<const oq::CompiledJudgment>;

bool bad_state(const char* what) {
  PyErr_Format(PyExc_ValueError, "malformed pickled state: %s", what);
  return false;
}

// ----- building states -----

PyObject* int_of(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

PyObject* time_state(oq::UtcTime t) {
  return Py_BuildValue("(LkI)", static_cast<long long>(t.days),
                       static_cast<unsigned long>(t.second_of_day), t.nanos);
}

PyObject* optional_time_state(const std::optional<oq::UtcTime>& t) {
  return t ? time_state(*t) : Py_NewRef(Py_None);
}

// A requirement tree flattened children first, each requirement once: a single one is
// (gap_id, minimum), a disjunction (child indices, minimum).
class Flattener {
 public:
  Flattener() : nodes_(Ref::steal(PyList_New(0))) {}

  // The index of `root`'s node, adding it and everything below it; -1 on failure.
  Py_ssize_t add(const GapRequirement& root) {
    struct Frame {
      const GapRequirement* node;
      std::size_t next_arm;
    };
    std::vector<Frame> stack{{&root, 0}};
    while (!stack.empty()) {
      Frame& top = stack.back();
      if (index_.contains(top.node)) {
        stack.pop_back();
        continue;
      }
      const auto arms = top.node->arms();
      if (top.next_arm < arms.size()) {
        const GapRequirement* arm = arms[top.next_arm++].get();
        if (!index_.contains(arm)) stack.push_back({arm, 0});
        continue;
      }
      if (!emit(*top.node)) return -1;
      stack.pop_back();
    }
    return index_.at(&root);
  }
  PyObject* nodes() const { return nodes_.get(); }

 private:
  bool emit(const GapRequirement& node) {
    if (!nodes_) return false;
    Ref item;
    const auto minimum = static_cast<unsigned>(node.minimum_status());
    if (node.is_any_of()) {
      Ref children = Ref::steal(list_of(node.arms().size(), [&](std::size_t i) {
        return PyLong_FromSsize_t(index_.at(node.arms()[i].get()));
      }));
      if (!children) return false;
      item = Ref::steal(Py_BuildValue("(OI)", children.get(), minimum));
    } else {
      item = Ref::steal(Py_BuildValue("(s#I)", node.gap_id().data(),
                                      static_cast<Py_ssize_t>(node.gap_id().size()), minimum));
    }
    if (!item || PyList_Append(nodes_.get(), item.get()) < 0) return false;
    index_.emplace(&node, PyList_GET_SIZE(nodes_.get()) - 1);
    return true;
  }

  Ref nodes_;
  std::map<const GapRequirement*, Py_ssize_t> index_;
};

PyObject* requirement_state(const GapRequirement& requirement) {
  Flattener flat;
  if (flat.add(requirement) < 0) return nullptr;
  return PyTuple_Pack(1, flat.nodes());
}

PyObject* profile_state(const oq::Profile& profile) {
  Flattener flat;
  const auto required = profile.required_gaps();
  Ref roots = Ref::steal(list_of(required.size(), [&](std::size_t i) -> PyObject* {
    const Py_ssize_t root = flat.add(required[i]);
    return root < 0 ? nullptr : PyLong_FromSsize_t(root);
  }));
  Ref permission = Ref::steal(new_permission(profile.permission()));
  if (!roots || !permission) return nullptr;
  return PyTuple_Pack(3, permission.get(), flat.nodes(), roots.get());
}

PyObject* token_state(const oq::ProofToken& token) {
  std::vector<std::string> closes(token.closes_gaps().begin(), token.closes_gaps().end());
  std::vector<std::string> bounds(token.bounds_gaps().begin(), token.bounds_gaps().end());
  Ref closes_list = Ref::steal(text_list(closes));
  Ref bounds_list = Ref::steal(text_list(bounds));
  const std::string_view text = token.details_text();
  Ref details = Ref::steal(text.empty() ? Py_NewRef(Py_None) : new_str(text));
  Ref issued = Ref::steal(time_state(token.issued_at()));
  Ref expires = Ref::steal(optional_time_state(token.expires_at()));
  if (!closes_list || !bounds_list || !details || !issued || !expires) return nullptr;
  const std::string provenance = token.provenance_hash();
  return Py_BuildValue(
      "(s#s#s#IOOs#s#OOOO)", token.token_id().data(),
      static_cast<Py_ssize_t>(token.token_id().size()), token.token_type().data(),
      static_cast<Py_ssize_t>(token.token_type().size()), token.schema_version().data(),
      static_cast<Py_ssize_t>(token.schema_version().size()), static_cast<unsigned>(token.status()),
      closes_list.get(), bounds_list.get(), provenance.data(),
      static_cast<Py_ssize_t>(provenance.size()), token.issuer().data(),
      static_cast<Py_ssize_t>(token.issuer().size()), details.get(), issued.get(), expires.get(),
      token.is_negative_control() ? Py_True : Py_False);
}

PyObject* optional_permission(const std::optional<oq::Permission>& level) {
  return level ? new_permission(*level) : Py_NewRef(Py_None);
}

PyObject* context_state(const oq::ProofContext& c) {
  const auto& f = c.fields();
  Ref disallowed = Ref::steal(text_list(f.disallowed_uses));
  Ref scope = Ref::steal(box(g_types.scope, f.scope));
  Ref gaps = Ref::steal(
      list_of(f.gaps.size(), [&](std::size_t i) { return box(g_types.gap_record, f.gaps[i]); }));
  Ref profiles = Ref::steal(list_of(
      f.profiles.size(), [&](std::size_t i) { return box(g_types.profile, f.profiles[i]); }));
  Ref tokens = Ref::steal(list_of(
      f.tokens.size(), [&](std::size_t i) { return box(g_types.proof_token, f.tokens.share(i)); }));
  Ref expiry = Ref::steal(new_expiry(f.expiry));
  Ref membership = Ref::steal(box(g_types.membership, f.membership));
  Ref authority = Ref::steal(optional_permission(f.authority_ceiling));
  Ref ceiling = Ref::steal(optional_permission(f.permission_ceiling));
  Ref expected = Ref::steal(f.expected_chain_hash ? new_chain_hash(*f.expected_chain_hash)
                                                  : Py_NewRef(Py_None));
  if (!disallowed || !scope || !gaps || !profiles || !tokens || !expiry || !membership ||
      !authority || !ceiling || !expected) {
    return nullptr;
  }
  Ref texts[5];
  const std::string* sources[5] = {&f.claim_id, &f.candidate_id, &f.context_id,
                                   &f.context_fingerprint, &f.allowed_use};
  for (int i = 0; i < 5; ++i) {
    texts[i] = Ref::steal(new_str(*sources[i]));
    if (!texts[i]) return nullptr;
  }
  return PyTuple_Pack(15, texts[0].get(), texts[1].get(), texts[2].get(), texts[3].get(),
                      texts[4].get(), disallowed.get(), scope.get(), gaps.get(), profiles.get(),
                      tokens.get(), expiry.get(), membership.get(), authority.get(), ceiling.get(),
                      expected.get());
}

PyObject* runtime_state(const oq::RuntimeContext& r) {
  Ref states = Ref::steal(PyDict_New());
  if (!states) return nullptr;
  for (const auto& [id, status] : r.negative_control_states) {
    Ref key = Ref::steal(new_str(id));
    Ref value = Ref::steal(PyLong_FromLong(static_cast<long>(status)));
    if (!key || !value || PyDict_SetItem(states.get(), key.get(), value.get()) < 0) return nullptr;
  }
  Ref now = Ref::steal(time_state(r.now));
  if (!now) return nullptr;
  return Py_BuildValue("(s#OOO)", r.context_fingerprint.data(),
                       static_cast<Py_ssize_t>(r.context_fingerprint.size()), states.get(),
                       now.get(), r.strict_mode ? Py_True : Py_False);
}

PyObject* judgment_state(const JudgmentRef& judgment, std::uint32_t step) {
  const oq::CompiledJudgment& j = *judgment;
  const oq::Derivation& d = j.derivation;
  Ref steps = Ref::steal(list_of(d.steps.size(), [&](std::size_t i) -> PyObject* {
    const oq::DerivationStep& s = d.steps[i];
    Ref after = Ref::steal(new_permission(s.permission_after));
    if (!after) return nullptr;
    return Py_BuildValue("(IIOIIII)", static_cast<unsigned>(s.phase),
                         static_cast<unsigned>(s.detail), after.get(), s.first_ref, s.ref_count,
                         s.first_label, s.label_count);
  }));
  Ref refs = Ref::steal(
      list_of(d.token_refs.size(), [&](std::size_t i) { return int_of(d.token_refs[i]); }));
  Ref labels = Ref::steal(text_list(d.arm_labels));
  Ref compiled_at = Ref::steal(time_state(d.compiled_at));
  Ref context = Ref::steal(new_context(j.context));
  Ref expiry = Ref::steal(new_expiry(j.expiry));
  Ref permission = Ref::steal(new_permission(j.permission));
  Ref hash = Ref::steal(new_chain_hash(j.chain_hash));
  Ref evidence = Ref::steal(new_expiry(j.evidence_expiry));
  if (!steps || !refs || !labels || !compiled_at || !context || !expiry || !permission || !hash ||
      !evidence) {
    return nullptr;
  }
  return Py_BuildValue("(OOOOOOOOOI)", context.get(), steps.get(), refs.get(), labels.get(),
                       compiled_at.get(), expiry.get(), permission.get(), hash.get(),
                       evidence.get(), step);
}

// ----- reading states -----

// Item `i` of a state tuple of exactly `size` items (borrowed).
class State {
 public:
  State(PyObject* tuple, Py_ssize_t size) : tuple_(tuple), ok_(PyTuple_Check(tuple)) {
    if (ok_ && PyTuple_GET_SIZE(tuple) != size) ok_ = false;
    if (!ok_) bad_state("wrong number of fields");
  }
  explicit operator bool() const { return ok_; }
  PyObject* operator[](Py_ssize_t i) const { return PyTuple_GET_ITEM(tuple_, i); }

 private:
  PyObject* tuple_;
  bool ok_;
};

bool to_small(PyObject* obj, unsigned limit, unsigned& out) {
  std::uint64_t value = 0;
  if (!to_index(obj, value)) return false;
  if (value >= limit) return bad_state("enumeration value out of range");
  out = static_cast<unsigned>(value);
  return true;
}

bool to_u32(PyObject* obj, std::uint32_t& out) {
  std::uint64_t value = 0;
  if (!to_index(obj, value)) return false;
  if (value > std::numeric_limits<std::uint32_t>::max()) return bad_state("index out of range");
  out = static_cast<std::uint32_t>(value);
  return true;
}

// A time state (days, second of day, nanoseconds), each part checked against its range; with
// `whole`, as the public constructors make them: no fraction of a second.
bool to_time(PyObject* obj, oq::UtcTime& out, bool whole = false) {
  if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != 3) {
    return bad_state("a time is (days, second, nanoseconds)");
  }
  int overflow = 0;
  Ref days_number = Ref::steal(PyNumber_Index(PyTuple_GET_ITEM(obj, 0)));
  if (!days_number) return false;
  const long long days = PyLong_AsLongLongAndOverflow(days_number.get(), &overflow);
  if (days == -1 && PyErr_Occurred()) return false;
  std::uint64_t second = 0, nanos = 0;
  if (!to_index(PyTuple_GET_ITEM(obj, 1), second) || !to_index(PyTuple_GET_ITEM(obj, 2), nanos)) {
    return false;
  }
  if (overflow != 0 || second >= 86400 || nanos >= 1'000'000'000 || (whole && nanos != 0) ||
      days < oq::days_from_civil({oq::kMinYear, 1, 1}) ||
      days > oq::days_from_civil({oq::kMaxYear, 12, 31})) {
    return bad_state("time out of range");
  }
  out = oq::UtcTime{static_cast<std::int32_t>(days), static_cast<std::uint32_t>(second),
                    static_cast<std::uint32_t>(nanos)};
  return true;
}

bool to_whole_time(PyObject* obj, oq::UtcTime& out) { return to_time(obj, out, true); }

bool to_optional_time(PyObject* obj, std::optional<oq::UtcTime>& out) {
  if (obj == Py_None) return true;
  oq::UtcTime t{};
  if (!to_whole_time(obj, t)) return false;
  out = t;
  return true;
}

bool to_optional_level(PyObject* obj, std::optional<oq::Permission>& out) {
  if (obj == Py_None) return true;
  oq::Permission level;
  if (!to_permission(obj, level)) return false;
  out = level;
  return true;
}

// Rebuilds the flattened requirements of `nodes`; each node may name only earlier ones.
bool to_requirements(PyObject* nodes, std::vector<std::shared_ptr<const GapRequirement>>& out) {
  return for_each_item(nodes, [&](PyObject* node) {
    if (!PyTuple_Check(node) || PyTuple_GET_SIZE(node) != 2) return bad_state("requirement node");
    unsigned minimum = 0;
    if (!to_small(PyTuple_GET_ITEM(node, 1), 3, minimum)) return false;
    const auto kind = static_cast<oq::GapKind>(minimum);
    PyObject* head = PyTuple_GET_ITEM(node, 0);
    if (PyUnicode_Check(head)) {
      // As the constructor makes them: a single requirement asks for at least "bounded".
      if (kind == oq::GapKind::Open) return bad_state("a single requirement's minimum");
      std::string gap_id;
      if (!to_text(head, gap_id)) return false;
      out.push_back(
          std::make_shared<const GapRequirement>(GapRequirement::single(std::move(gap_id), kind)));
      return true;
    }
    if (!PyList_Check(head) && !PyTuple_Check(head)) return bad_state("a disjunction's arms");
    std::vector<GapRequirement::Arm> arms;
    const bool read = for_each_item(head, [&](PyObject* child) {
      std::uint64_t index = 0;
      if (!to_index(child, index)) return false;
      if (index >= out.size()) return bad_state("a disjunction names a later requirement");
      arms.push_back(out[index]);
      return true;
    });
    if (!read) return false;
    GapRequirement any = GapRequirement::any_of(std::move(arms));
    out.push_back(std::make_shared<const GapRequirement>(
        kind == oq::GapKind::Open ? std::move(any) : any.with_minimum(kind)));
    return true;
  });
}

PyObject* restore_requirement(PyObject* state) {
  State s(state, 1);
  std::vector<std::shared_ptr<const GapRequirement>> built;
  if (!s || !to_requirements(s[0], built)) return nullptr;
  if (built.empty()) return bad_state("no requirement"), nullptr;
  return box(g_types.gap_requirement, built.back());
}

PyObject* restore_profile(PyObject* state) {
  State s(state, 3);
  oq::Permission level;
  std::vector<std::shared_ptr<const GapRequirement>> built;
  std::vector<GapRequirement> required;
  if (!s || !to_permission(s[0], level) || !to_requirements(s[1], built)) return nullptr;
  const bool read = for_each_item(s[2], [&](PyObject* root) {
    std::uint64_t index = 0;
    if (!to_index(root, index)) return false;
    if (index >= built.size()) return bad_state("a profile names a missing requirement");
    required.push_back(*built[index]);
    return true;
  });
  if (!read) return nullptr;
  return box(g_types.profile, std::make_shared<const oq::Profile>(level, std::move(required)));
}

PyObject* restore_token(PyObject* state) {
  State s(state, 12);
  std::string id, type, version, provenance, issuer;
  unsigned status = 0;
  std::vector<std::string> closes, bounds;
  oq::UtcTime issued{};
  std::optional<oq::UtcTime> expires;
  bool negative = false;
  if (!s || !to_text(s[0], id) || !to_text(s[1], type) || !to_text(s[2], version) ||
      !to_small(s[3], 5, status) || !to_text_list(s[4], closes) || !to_text_list(s[5], bounds) ||
      !to_text(s[6], provenance) || !to_text(s[7], issuer) || !to_whole_time(s[9], issued) ||
      !to_optional_time(s[10], expires) || !to_bool(s[11], negative)) {
    return nullptr;
  }
  nlohmann::json details;
  if (s[8] != Py_None) {
    std::string_view text;
    if (!to_text_view(s[8], text)) return nullptr;
    auto parsed = oq::parse_details(text);
    if (!parsed) return bad_state("token details"), nullptr;
    details = std::move(*parsed);
  }
  return box(g_types.proof_token,
             std::make_shared<const oq::ProofToken>(
                 std::move(id), std::move(type), std::move(version), std::move(closes),
                 std::move(bounds), std::move(provenance), std::move(issuer), std::move(details),
                 issued, expires, negative, static_cast<oq::TokenStatus>(status)));
}

PyObject* restore_context(PyObject* state) {
  State s(state, 15);
  oq::ProofContextFields f;
  std::optional<oq::ChainHash> expected;
  if (!s || !to_text(s[0], f.claim_id) || !to_text(s[1], f.candidate_id) ||
      !to_text(s[2], f.context_id) || !to_text(s[3], f.context_fingerprint) ||
      !to_text(s[4], f.allowed_use) || !to_text_list(s[5], f.disallowed_uses) ||
      !to_scope(s[6], f.scope) || !to_gap_records(s[7], f.gaps) || !to_profiles(s[8], f.profiles) ||
      !to_tokens(s[9], f.tokens) || !to_expiry(s[10], f.expiry) ||
      !to_membership(s[11], f.membership) || !to_optional_level(s[12], f.authority_ceiling) ||
      !to_optional_level(s[13], f.permission_ceiling)) {
    return nullptr;
  }
  if (s[14] != Py_None) {
    oq::ChainHash hash{oq::Sha256Digest{}};
    if (!to_chain_hash(s[14], hash)) return nullptr;
    f.expected_chain_hash = hash;
  }
  return new_context(std::make_shared<const oq::ProofContext>(std::move(f)));
}

PyObject* restore_runtime(PyObject* state) {
  State s(state, 4);
  auto runtime = std::make_shared<oq::RuntimeContext>();
  Ref items;
  if (!s || !to_text(s[0], runtime->context_fingerprint) || !to_dict_items(s[1], items) ||
      !to_time(s[2], runtime->now) || !to_bool(s[3], runtime->strict_mode)) {
    return nullptr;
  }
  const bool read = for_each_item(items.get(), [&](PyObject* pair) {
    std::string id;
    unsigned status = 0;
    if (!to_text(PyTuple_GET_ITEM(pair, 0), id) || !to_small(PyTuple_GET_ITEM(pair, 1), 4, status))
      return false;
    runtime->negative_control_states.emplace(std::move(id),
                                             static_cast<oq::NegativeControlStatus>(status));
    return true;
  });
  if (!read) return nullptr;
  return new_runtime_context(std::move(runtime));
}

// Whether `step` can follow `steps` in a derivation as compilation writes one: phases in pipeline
// order, each once (structural blockers twice: tokens, then disallowed uses), each with the details
// its phase gives, and arm labels only on the search.
bool follows(const std::vector<oq::DerivationStep>& steps, const oq::DerivationStep& step) {
  using oq::Phase;
  using oq::StepDetail;
  if (!steps.empty()) {
    const oq::DerivationStep& last = steps.back();
    const bool blockers_again =
        last.phase == Phase::StructuralBlockers && step.phase == Phase::StructuralBlockers &&
        last.detail != StepDetail::DisallowedUses && step.detail == StepDetail::DisallowedUses;
    if (!(last.phase < step.phase) && !blockers_again) return false;
  }
  if (step.label_count != 0 && step.phase != Phase::DescendingSearch) return false;
  switch (step.phase) {
    case Phase::DescendingSearch:
      return step.detail == StepDetail::NoProfiles ||
             step.detail == StepDetail::NoProfileSatisfied ||
             step.detail == StepDetail::ProfileSatisfied;
    case Phase::StructuralBlockers:
      return step.detail == StepDetail::ProvenanceMismatch ||
             step.detail == StepDetail::DeadCredential || step.detail == StepDetail::BothRejected ||
             step.detail == StepDetail::DisallowedUses;
    default:
      return step.detail == StepDetail::None;
  }
}

// Rebuilds a judgment, checking that every step's ranges lie inside the derivation and every
// token position inside the context, as rendering the steps assumes, and that the steps are ones
// compilation writes. Its level is not compiled again (the chain is not part of a judgment), so
// a pickled judgment is trusted as any pickle is.
PyObject* restore_judgment(PyObject* state, JudgmentView view) {
  State s(state, 10);
  std::shared_ptr<const oq::ProofContext> context;
  oq::Derivation d;
  oq::Expiry expiry = oq::Expiry::never();
  oq::Expiry evidence = oq::Expiry::never();
  oq::Permission permission;
  oq::ChainHash hash{oq::Sha256Digest{}};
  std::uint32_t step = 0;
  if (!s || !to_context(s[0], context) || !to_time(s[4], d.compiled_at) ||
      !to_expiry(s[5], expiry) || !to_permission(s[6], permission) || !to_chain_hash(s[7], hash) ||
      !to_expiry(s[8], evidence) || !to_u32(s[9], step) || !to_text_list(s[3], d.arm_labels)) {
    return nullptr;
  }
  const std::size_t tokens = context->tokens().size();
  const bool refs_read = for_each_item(s[2], [&](PyObject* item) {
    std::uint32_t position = 0;
    if (!to_u32(item, position)) return false;
    if (position >= tokens) return bad_state("a token position outside the context");
    d.token_refs.push_back(position);
    return true;
  });
  if (!refs_read) return nullptr;
  const bool steps_read = for_each_item(s[1], [&](PyObject* item) {
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 7) return bad_state("derivation step");
    unsigned phase = 0, detail = 0;
    oq::DerivationStep step_record{};
    if (!to_small(PyTuple_GET_ITEM(item, 0), 8, phase) ||
        !to_small(PyTuple_GET_ITEM(item, 1), 8, detail) ||
        !to_permission(PyTuple_GET_ITEM(item, 2), step_record.permission_after) ||
        !to_u32(PyTuple_GET_ITEM(item, 3), step_record.first_ref) ||
        !to_u32(PyTuple_GET_ITEM(item, 4), step_record.ref_count) ||
        !to_u32(PyTuple_GET_ITEM(item, 5), step_record.first_label) ||
        !to_u32(PyTuple_GET_ITEM(item, 6), step_record.label_count)) {
      return false;
    }
    const auto fits = [](std::uint64_t first, std::uint64_t count, std::size_t size) {
      return first <= size && count <= size - first;
    };
    if (!fits(step_record.first_ref, step_record.ref_count, d.token_refs.size()) ||
        !fits(step_record.first_label, step_record.label_count, d.arm_labels.size())) {
      return bad_state("a step's range outside the derivation");
    }
    step_record.phase = static_cast<oq::Phase>(phase);
    step_record.detail = static_cast<oq::StepDetail>(detail);
    if (!follows(d.steps, step_record)) return bad_state("a step compilation does not write");
    d.steps.push_back(step_record);
    return true;
  });
  if (!steps_read) return nullptr;
  // A judgment's level is the one its last step left it at.
  if (d.steps.empty() || !(d.steps.back().permission_after == permission)) {
    return bad_state("a level other than the derivation's"), nullptr;
  }
  if (view == JudgmentView::DerivationStep && step >= d.steps.size()) {
    return bad_state("a step outside the derivation"), nullptr;
  }
  auto judgment = std::make_shared<const oq::CompiledJudgment>(
      oq::CompiledJudgment{std::move(context), std::move(d), expiry, permission, hash, evidence});
  return new_judgment_view(view, std::move(judgment), step);
}

// ----- the two functions -----

struct Kind {
  const char* name;
  PyObject* (*restore)(PyObject* state);
};

PyObject* restore_permission(PyObject* state) {
  State s(state, 1);
  std::string_view name;
  if (!s || !to_text_view(s[0], name)) return nullptr;
  if (oq::validate_level_name(name)) return bad_state("level name"), nullptr;
  return new_permission(oq::Permission::named(name));
}

PyObject* restore_role(PyObject* state) {
  State s(state, 1);
  unsigned role = 0;
  if (!s || !to_small(s[0], oq::kRoleCount, role)) return nullptr;
  return new_chain_role(static_cast<oq::ChainRole>(role));
}

PyObject* restore_hash(PyObject* state) {
  State s(state, 1);
  std::string_view hex;
  if (!s || !to_text_view(s[0], hex)) return nullptr;
  auto hash = oq::ChainHash::from_hex(hex);
  if (!hash) return bad_state("chain hash"), nullptr;
  return new_chain_hash(*hash);
}

PyObject* restore_chain(PyObject* state) {
  State s(state, 2);
  std::vector<std::string> names;
  std::vector<std::uint64_t> roles;
  if (!s || !to_text_list(s[0], names) || !to_list(s[1], roles, to_index)) return nullptr;
  if (roles.size() != oq::kRoleCount) return bad_state("role bindings"), nullptr;
  std::vector<std::string_view> views(names.begin(), names.end());
  oq::PermissionChain::RoleBindings bindings;
  for (std::size_t i = 0; i < roles.size(); ++i) bindings[i] = roles[i];
  auto chain = oq::PermissionChain::create(views, bindings);
  if (!chain) return bad_state("chain"), nullptr;
  return new_chain(std::make_shared<const oq::PermissionChain>(std::move(*chain)));
}

PyObject* restore_status(PyObject* state) {
  State s(state, 1);
  unsigned status = 0;
  if (!s || !to_small(s[0], 4, status)) return nullptr;
  const auto name =
      oq::negative_control_status_name(static_cast<oq::NegativeControlStatus>(status));
  return PyObject_GetAttrString(reinterpret_cast<PyObject*>(negative_control_status_type()),
                                std::string(name).c_str());
}

PyObject* restore_membership(PyObject* state) {
  State s(state, 2);
  unsigned kind = 0;
  std::string reason;
  if (!s || !to_small(s[0], 5, kind) || !to_text(s[1], reason)) return nullptr;
  const auto k = static_cast<oq::Membership::Kind>(kind);
  return box(g_types.membership, k == oq::Membership::Kind::OutOfClassOther
                                     ? oq::Membership::other(std::move(reason))
                                     : oq::Membership::of(k));
}

PyObject* restore_scope(PyObject* state) {
  State s(state, 4);
  std::vector<std::string> lists[4];
  for (int i = 0; s && i < 4; ++i) {
    if (!to_text_list(s[i], lists[i])) return nullptr;
  }
  if (!s) return nullptr;
  return box(g_types.scope, oq::Scope(std::move(lists[0]), std::move(lists[1]), std::move(lists[2]),
                                      std::move(lists[3])));
}

PyObject* restore_expiry(PyObject* state) {
  State s(state, 1);
  std::optional<oq::UtcTime> deadline;
  if (!s || !to_optional_time(s[0], deadline)) return nullptr;  // whole seconds
  return new_expiry(deadline ? oq::Expiry::at(*deadline) : oq::Expiry::never());
}

PyObject* restore_gap(PyObject* state) {
  State s(state, 4);
  std::string id, type;
  unsigned kind = 0;
  if (!s || !to_text(s[0], id) || !to_text(s[1], type) || !to_small(s[2], 3, kind)) return nullptr;
  oq::GapStatus status = oq::GapStatus::open();
  if (kind == static_cast<unsigned>(oq::GapKind::Closed)) status = oq::GapStatus::closed();
  if (kind == static_cast<unsigned>(oq::GapKind::Bounded)) {
    status = oq::GapStatus::bounded_unspecified();
    if (s[3] != Py_None) {
      double bound = 0;
      if (!to_real(s[3], bound)) return nullptr;
      if (bound != bound) return bad_state("a NaN bound"), nullptr;
      status = oq::GapStatus::bounded(bound);
    }
  }
  return box(g_types.gap_record, oq::GapRecord(std::move(id), std::move(type), status));
}

template <JudgmentView V>
PyObject* restore_view(PyObject* state) {
  return restore_judgment(state, V);
}

constexpr Kind kKinds[] = {
    {"Permission", restore_permission},
    {"ChainRole", restore_role},
    {"ChainHash", restore_hash},
    {"PermissionChain", restore_chain},
    {"NegativeControlStatus", restore_status},
    {"Membership", restore_membership},
    {"Scope", restore_scope},
    {"Expiry", restore_expiry},
    {"GapRecord", restore_gap},
    {"GapRequirement", restore_requirement},
    {"Profile", restore_profile},
    {"ProofToken", restore_token},
    {"ProofContext", restore_context},
    {"RuntimeContext", restore_runtime},
    {"Judgment", restore_view<JudgmentView::Judgment>},
    {"LiveJudgment", restore_view<JudgmentView::LiveJudgment>},
    {"Derivation", restore_view<JudgmentView::Derivation>},
    {"DerivationStep", restore_view<JudgmentView::DerivationStep>},
};

// The kind and state of `obj`; null with TypeError for an object of no value class.
PyObject* state_of(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  const auto pair = [](const char* kind, PyObject* state) -> PyObject* {
    if (!state) return nullptr;
    Ref owned = Ref::steal(state);
    return Py_BuildValue("(sO)", kind, owned.get());
  };
  if (type == g_types.permission) {
    const std::string_view name = unbox<oq::Permission>(obj).name();
    return pair("Permission",
                Py_BuildValue("(s#)", name.data(), static_cast<Py_ssize_t>(name.size())));
  }
  if (type == g_types.chain_role) {
    return pair("ChainRole",
                Py_BuildValue("(I)", static_cast<unsigned>(unbox<oq::ChainRole>(obj))));
  }
  if (type == g_types.chain_hash) {
    return pair("ChainHash", Py_BuildValue("(s)", unbox<oq::ChainHash>(obj).to_hex().c_str()));
  }
  if (type == g_types.permission_chain) {
    const auto& chain = *unbox<std::shared_ptr<const oq::PermissionChain>>(obj);
    Ref names = Ref::steal(list_of(
        chain.levels().size(), [&](std::size_t i) { return new_str(chain.levels()[i].name()); }));
    Ref roles = Ref::steal(list_of(oq::kRoleCount, [&](std::size_t i) {
      return int_of(chain.role_index(static_cast<oq::ChainRole>(i)));
    }));
    if (!names || !roles) return nullptr;
    return pair("PermissionChain", PyTuple_Pack(2, names.get(), roles.get()));
  }
  if (type == negative_control_status_type()) {
    return pair("NegativeControlStatus",
                Py_BuildValue("(I)", static_cast<unsigned>(unbox<oq::NegativeControlStatus>(obj))));
  }
  if (type == g_types.membership) {
    const auto& m = unbox<oq::Membership>(obj);
    return pair("Membership",
                Py_BuildValue("(Is#)", static_cast<unsigned>(m.kind()), m.reason().data(),
                              static_cast<Py_ssize_t>(m.reason().size())));
  }
  if (type == g_types.scope) {
    const auto& scope = unbox<oq::Scope>(obj);
    Ref lists[4] = {Ref::steal(text_list(scope.allowed_candidates())),
                    Ref::steal(text_list(scope.allowed_paths())),
                    Ref::steal(text_list(scope.allowed_tools())),
                    Ref::steal(text_list(scope.allowed_resources()))};
    if (!lists[0] || !lists[1] || !lists[2] || !lists[3]) return nullptr;
    return pair("Scope",
                PyTuple_Pack(4, lists[0].get(), lists[1].get(), lists[2].get(), lists[3].get()));
  }
  if (type == g_types.expiry) {
    return pair("Expiry",
                Py_BuildValue("(N)", optional_time_state(unbox<oq::Expiry>(obj).deadline())));
  }
  if (type == g_types.gap_record) {
    const auto& gap = unbox<oq::GapRecord>(obj);
    const auto bound = gap.status().bound();
    Ref bound_value = Ref::steal(bound ? PyFloat_FromDouble(*bound) : Py_NewRef(Py_None));
    if (!bound_value) return nullptr;
    return pair(
        "GapRecord",
        Py_BuildValue("(s#s#IO)", gap.gap_id().data(), static_cast<Py_ssize_t>(gap.gap_id().size()),
                      gap.gap_type().data(), static_cast<Py_ssize_t>(gap.gap_type().size()),
                      static_cast<unsigned>(gap.status().kind()), bound_value.get()));
  }
  if (type == g_types.gap_requirement) {
    return pair("GapRequirement",
                requirement_state(*unbox<std::shared_ptr<const GapRequirement>>(obj)));
  }
  if (type == g_types.profile) {
    return pair("Profile", profile_state(*unbox<std::shared_ptr<const oq::Profile>>(obj)));
  }
  if (type == g_types.proof_token) {
    return pair("ProofToken", token_state(*unbox<std::shared_ptr<const oq::ProofToken>>(obj)));
  }
  if (type == g_types.proof_context) {
    return pair("ProofContext",
                context_state(*unbox<std::shared_ptr<const oq::ProofContext>>(obj)));
  }
  if (type == runtime_context_type()) {
    return pair("RuntimeContext",
                runtime_state(*unbox<std::shared_ptr<const oq::RuntimeContext>>(obj)));
  }
  JudgmentView view;
  JudgmentRef judgment;
  std::uint32_t step = 0;
  if (judgment_view_of(obj, view, judgment, step)) {
    static constexpr const char* kNames[] = {"Judgment", "LiveJudgment", "Derivation",
                                             "DerivationStep"};
    return pair(kNames[static_cast<int>(view)], judgment_state(judgment, step));
  }
  cannot_convert(obj, "a value class of _ostrel_quorvane");
  return nullptr;
}

constexpr auto kState = signature("_state()", Callable::Function,
                                  "_state(obj)\n--\n\n"
                                  "The kind and state of a value of the module, for pickling.",
                                  Param{"obj"});

constexpr auto kRestore = signature("_restore()", Callable::Function,
                                    "_restore(kind, state)\n--\n\n"
                                    "The value that `_state` described, rebuilt.",
                                    Param{"kind"}, Param{"state"});

PyObject* state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kState> a;
  if (!a.bind(args, nargs, kwnames)) return nullptr;
  return state_of(a[0]);
}

PyObject* restore(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kRestore> a;
  std::string_view kind;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, kind, to_text_view)) return nullptr;
  for (const Kind& entry : kKinds) {
    if (kind == entry.name) return entry.restore(a[1]);
  }
  return bad_state("unknown kind"), nullptr;
}

PyMethodDef kStateFunction = {"_state", as_cfunction(guarded<state>), kFastFlags, kState.doc};
PyMethodDef kRestoreFunction = {"_restore", as_cfunction(guarded<restore>), kFastFlags,
                                kRestore.doc};

}  // namespace

PyObject* state_function(PyObject* module) { return new_function(&kStateFunction, module); }
PyObject* restore_function(PyObject* module) { return new_function(&kRestoreFunction, module); }

}  // namespace oqpy
