// Judgment, LiveJudgment, Derivation and DerivationStep, and the functions that compile a request
// into them. Every object shares the one immutable record of its compilation.
#include "judgment_classes.h"

#include "errors.h"
#include "guard.h"
#include "object.h"
#include "oq/compiler.h"
#include "oq/default_chain.h"
#include "params.h"
#include "runtime_classes.h"
#include "types.h"

namespace oqpy {

namespace {

using oq::CompiledJudgment;
using JudgmentRef = std::shared_ptr<const CompiledJudgment>;
// A step is shown through its judgment, which renders its note and token ids on demand.
struct StepRef {
  JudgmentRef judgment;
  std::uint32_t index;
};

PyTypeObject* g_judgment = nullptr;
PyTypeObject* g_live_judgment = nullptr;
PyTypeObject* g_derivation = nullptr;
PyTypeObject* g_step = nullptr;

const JudgmentRef& judgment_ref(PyObject* self) { return unbox<JudgmentRef>(self); }
const CompiledJudgment& judgment_of(PyObject* self) { return *judgment_ref(self); }

// ----- DerivationStep -----

const StepRef& step_ref(PyObject* self) { return unbox<StepRef>(self); }
const oq::DerivationStep& step_of(PyObject* self) {
  const StepRef& ref = step_ref(self);
  return ref.judgment->derivation.steps[ref.index];
}

PyObject* step_phase(PyObject* self, void*) { return new_str(oq::phase_name(step_of(self).phase)); }
PyObject* step_permission(PyObject* self, void*) {
  return new_permission(step_of(self).permission_after);
}
PyObject* step_note(PyObject* self, void*) {
  return new_str(oq::step_note(*step_ref(self).judgment, step_of(self)));
}
PyObject* step_token_ids(PyObject* self, void*) {
  return text_list(oq::step_token_ids(*step_ref(self).judgment, step_of(self)));
}
PyObject* step_repr(PyObject* self) {
  return new_str(oq::step_repr(*step_ref(self).judgment, step_of(self)));
}

PyGetSetDef kStepGetters[] = {
    {"phase", guarded<step_phase>, nullptr, nullptr, nullptr},
    {"permission_after", guarded<step_permission>, nullptr, nullptr, nullptr},
    {"note", guarded<step_note>, nullptr, nullptr, nullptr},
    {"token_ids", guarded<step_token_ids>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kStepSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<StepRef>)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<step_repr>)},
    {Py_tp_getset, kStepGetters},
    {0, nullptr},
};

PyType_Spec kStepSpec = type_spec<StepRef>("builtins.DerivationStep", kStepSlots);

// ----- Derivation -----
// A Derivation object holds its judgment: the steps and the provenance hash are read from it.

PyObject* derivation_steps(PyObject* self, void*) {
  const JudgmentRef& judgment = judgment_ref(self);
  return list_of(judgment->derivation.steps.size(), [&](std::size_t i) {
    return box(g_step, StepRef{judgment, static_cast<std::uint32_t>(i)});
  });
}
PyObject* derivation_provenance(PyObject* self, void*) {
  return new_str(oq::provenance_hash(judgment_of(self)));
}
PyObject* derivation_compiled_at(PyObject* self, void*) {
  return PyFloat_FromDouble(oq::unix_seconds(judgment_of(self).derivation.compiled_at));
}
PyObject* derivation_repr(PyObject* self) {
  return new_str(oq::derivation_repr(judgment_of(self)));
}

PyGetSetDef kDerivationGetters[] = {
    {"steps", guarded<derivation_steps>, nullptr, nullptr, nullptr},
    {"provenance_hash", guarded<derivation_provenance>, nullptr, nullptr, nullptr},
    {"compiled_at", guarded<derivation_compiled_at>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kDerivationSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<JudgmentRef>)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<derivation_repr>)},
    {Py_tp_getset, kDerivationGetters},
    {0, nullptr},
};

PyType_Spec kDerivationSpec = type_spec<JudgmentRef>("builtins.Derivation", kDerivationSlots);

// ----- Judgment -----

PyObject* judgment_permission(PyObject* self, void*) {
  return new_permission(judgment_of(self).permission);
}
PyObject* judgment_permission_str(PyObject* self, void*) {
  return new_str(judgment_of(self).permission.name());
}
PyObject* judgment_expiry(PyObject* self, void*) { return new_expiry(judgment_of(self).expiry); }
PyObject* judgment_derivation(PyObject* self, void*) {
  return box(g_derivation, judgment_ref(self));
}
PyObject* judgment_chain_hash(PyObject* self, void*) {
  return new_chain_hash(judgment_of(self).chain_hash);
}
PyObject* judgment_repr(PyObject* self) {
  return new_str(oq::judgment_repr("Judgment", judgment_of(self)));
}
PyObject* judgment_richcompare(PyObject* self, PyObject* other, int op) {
  return compare_equality(self, other, op, g_judgment, [](PyObject* a, PyObject* b) {
    return judgment_of(a).permission.name() == judgment_of(b).permission.name();
  });
}

PyGetSetDef kJudgmentGetters[] = {
    {"permission", guarded<judgment_permission>, nullptr, nullptr, nullptr},
    {"permission_str", guarded<judgment_permission_str>, nullptr, nullptr, nullptr},
    {"expiry", guarded<judgment_expiry>, nullptr, nullptr, nullptr},
    {"derivation", guarded<judgment_derivation>, nullptr, nullptr, nullptr},
    {"chain_hash", guarded<judgment_chain_hash>, nullptr,
     "Hash of the chain that authorized this judgment. Auditors resolve this\n"
     "against a `ChainRegistry` to recover the chain content.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kJudgmentSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<JudgmentRef>)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<judgment_repr>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(guarded<judgment_richcompare>)},
    {Py_tp_getset, kJudgmentGetters},
    {0, nullptr},
};

PyType_Spec kJudgmentSpec = type_spec<JudgmentRef>("builtins.Judgment", kJudgmentSlots);

// ----- LiveJudgment -----

PyObject* live_repr(PyObject* self) {
  return new_str(oq::judgment_repr("LiveJudgment", judgment_of(self)));
}

constexpr auto kPermission =
    signature("LiveJudgment.permission()", Callable::Method,
              "permission($self, runtime)\n--\n\n"
              "Evaluate the effective permission at the given runtime context.\n\n"
              "Raises `ExpiredError` if the judgment has expired.",
              Param{"runtime"});

constexpr auto kPermissionStr = signature(
    "LiveJudgment.permission_str()", Callable::Method,
    "permission_str($self, runtime)\n--\n\n"
    "Get the permission without raising on EXP \u2014 returns the string \"EXP\" if expired.",
    Param{"runtime"});

// The judgment's level at the moment the bound `runtime` describes; false with an exception set
// when the argument is refused.
template <const auto& Sig>
bool evaluate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              oq::Permission& out) {
  Args<Sig> a;
  std::shared_ptr<const oq::RuntimeContext> runtime;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, runtime, to_runtime)) return false;
  out = oq::evaluate_live(judgment_of(self), *runtime, tracing_sink()).permission;
  return true;
}

PyObject* live_permission(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  oq::Permission level;
  if (!evaluate<kPermission>(self, args, nargs, kwnames, level)) return nullptr;
  if (level == oq::default_levels().EXP) {
    PyObject* cls = exception_class(Exc::Expired);
    if (!cls) return nullptr;
    return raise_text(cls, "judgment expired at " + oq::expiry_rendering(judgment_of(self).expiry));
  }
  return new_permission(level);
}

PyObject* live_permission_str(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  oq::Permission level;
  if (!evaluate<kPermissionStr>(self, args, nargs, kwnames, level)) return nullptr;
  return new_str(level.name());
}

constexpr auto kEvaluateLive =
    signature("_evaluate_live()", Callable::Function,
              "_evaluate_live(judgment, runtime)\n--\n\n"
              "Evaluate a LiveJudgment at the given runtime context, as `permission_str` does;\n"
              "returns the level's name and the fixed message of the check that decided it\n"
              "(\"live permission read\" when none floored the compiled level).",
              Param{"judgment"}, Param{"runtime"});

PyObject* evaluate_live_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  Args<kEvaluateLive> a;
  JudgmentRef judgment;
  std::shared_ptr<const oq::RuntimeContext> runtime;
  const auto to_live = [](PyObject* obj, JudgmentRef& out) {
    return read_boxed(obj, g_live_judgment, "LiveJudgment", out);
  };
  if (!a.bind(args, nargs, kwnames) || !a.get(0, judgment, to_live) ||
      !a.get(1, runtime, to_runtime)) {
    return nullptr;
  }
  const oq::LiveOutcome outcome = oq::evaluate_live(*judgment, *runtime, tracing_sink());
  Ref name = Ref::steal(new_str(outcome.permission.name()));
  Ref reason = Ref::steal(new_str(oq::live_check_message(outcome.decided_by)));
  if (!name || !reason) return nullptr;
  return PyTuple_Pack(2, name.get(), reason.get());
}

PyMethodDef kEvaluateLiveFunction = {
    "_evaluate_live", as_cfunction(guarded<evaluate_live_function>), kFastFlags, kEvaluateLive.doc};

PyMethodDef kLiveMethods[] = {
    {"permission", as_cfunction(guarded<live_permission>), kFastFlags, kPermission.doc},
    {"permission_str", as_cfunction(guarded<live_permission_str>), kFastFlags, kPermissionStr.doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kLiveGetters[] = {
    {"chain_hash", guarded<judgment_chain_hash>, nullptr,
     "Hash of the chain that authorized this judgment.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kLiveSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<JudgmentRef>)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_doc, const_cast<char*>(
                    "A live judgment handle.  The Python binding holds the judgment by value and\n"
                    "evaluates expiry when `.permission(runtime_context)` is called.")},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<live_repr>)},
    {Py_tp_methods, kLiveMethods},
    {Py_tp_getset, kLiveGetters},
    {0, nullptr},
};

PyType_Spec kLiveSpec = type_spec<JudgmentRef>("builtins.LiveJudgment", kLiveSlots);

// ----- compile and compile_static -----

constexpr auto kCompile =
    signature("compile()", Callable::Function,
              "compile(ctx, chain=None)\n--\n\n"
              "Compile a ProofContext into a LiveJudgment.\n\n"
              "If `chain` is None, uses the default chain (and the resulting judgment's\n"
              "chain_hash is the default chain's hash \u2014 the decision is recorded even when\n"
              "implicit). If `chain` is supplied, the compiler uses that chain explicitly.",
              Param{"ctx"}, Param{"chain", Policy::OrNone});

constexpr auto kCompileStatic =
    signature("compile_static()", Callable::Function,
              "compile_static(ctx, chain=None)\n--\n\n"
              "Compile a ProofContext into a Judgment (static snapshot, no live-check).",
              Param{"ctx"}, Param{"chain", Policy::OrNone});

constexpr auto kCompileAt =
    signature("_compile_at()", Callable::Function,
              "_compile_at(ctx, at, chain=None)\n--\n\n"
              "Compile a ProofContext into a LiveJudgment as if the clock read `at`.\n\n"
              "`at` is Unix seconds, truncated toward zero like every time argument; a time\n"
              "outside the representable range raises ValueError. The same arguments always\n"
              "give the same judgment.",
              Param{"ctx"}, Param{"at"}, Param{"chain", Policy::OrNone});

constexpr auto kCompileStaticAt =
    signature("_compile_static_at()", Callable::Function,
              "_compile_static_at(ctx, at, chain=None)\n--\n\n"
              "Compile a ProofContext into a Judgment as if the clock read `at`.",
              Param{"ctx"}, Param{"at"}, Param{"chain", Policy::OrNone});

constexpr auto kMoment =
    signature("_moment()", Callable::Function,
              "_moment(at)\n--\n\n"
              "Unix seconds `at` as compilation reads a moment: truncated toward zero to whole\n"
              "seconds. A time outside the representable range raises ValueError.",
              Param{"at"});

// Compiles `ctx` under the bound chain in slot `chain_slot` (the default chain when absent) on
// `clock`; null with the engine's error raised as QuorvaneError. The arguments are converted in
// parameter order: the context, the moment if any, then the chain.
template <const auto& Sig>
JudgmentRef compile_bound(const Args<Sig>& a, std::shared_ptr<const oq::ProofContext> context,
                          std::size_t chain_slot, const oq::Clock& clock) {
  std::shared_ptr<const oq::PermissionChain> chain;
  if (!a.get(chain_slot, chain, to_chain)) return nullptr;
  // The default chain lives as long as the process: it is lent, not shared, so that a call
  // without a chain writes no count.
  auto judgment = oq::compile_context(std::move(context), chain ? *chain : *oq::default_chain(),
                                      clock, tracing_sink());
  if (!judgment) {
    raise_error(judgment.error(), Exc::Quorvane);
    return nullptr;
  }
  return std::make_shared<const CompiledJudgment>(std::move(*judgment));
}

// `compile` and `compile_static`: the system clock.
template <const auto& Sig>
JudgmentRef compile_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<Sig> a;
  std::shared_ptr<const oq::ProofContext> context;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, context, to_context)) return nullptr;
  return compile_bound(a, std::move(context), 1, oq::system_clock());
}

// `_compile_at` and `_compile_static_at`: a clock that always reads the bound `at`.
template <const auto& Sig>
JudgmentRef compile_at_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<Sig> a;
  std::shared_ptr<const oq::ProofContext> context;
  oq::UtcTime at{};
  if (!a.bind(args, nargs, kwnames) || !a.get(0, context, to_context) || !a.get(1, at, to_moment)) {
    return nullptr;
  }
  return compile_bound(a, std::move(context), 2, oq::FixedClock(at));
}

// A module function that compiles with `Compile` and shows the judgment with `Show`.
template <JudgmentRef (*Compile)(PyObject* const*, Py_ssize_t, PyObject*),
          PyObject* (*Show)(JudgmentRef)>
PyObject* compiling(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  JudgmentRef judgment = Compile(args, nargs, kwnames);
  return judgment ? Show(std::move(judgment)) : nullptr;
}

constexpr auto compile = compiling<compile_args<kCompile>, new_live_judgment>;
constexpr auto compile_static = compiling<compile_args<kCompileStatic>, new_judgment>;
constexpr auto compile_at = compiling<compile_at_args<kCompileAt>, new_live_judgment>;
constexpr auto compile_static_at = compiling<compile_at_args<kCompileStaticAt>, new_judgment>;

PyObject* moment(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kMoment> a;
  oq::UtcTime at{};
  if (!a.bind(args, nargs, kwnames) || !a.get(0, at, to_moment)) return nullptr;
  return PyFloat_FromDouble(oq::unix_seconds(at));
}

PyMethodDef kMomentFunction = {"_moment", as_cfunction(guarded<moment>), kFastFlags, kMoment.doc};

PyMethodDef kCompileAtFunction = {"_compile_at", as_cfunction(guarded<compile_at>), kFastFlags,
                                  kCompileAt.doc};
PyMethodDef kCompileStaticAtFunction = {"_compile_static_at",
                                        as_cfunction(guarded<compile_static_at>), kFastFlags,
                                        kCompileStaticAt.doc};

PyMethodDef kCompileFunction = {"compile", as_cfunction(guarded<compile>), kFastFlags,
                                kCompile.doc};
PyMethodDef kCompileStaticFunction = {"compile_static", as_cfunction(guarded<compile_static>),
                                      kFastFlags, kCompileStatic.doc};

}  // namespace

PyObject* judgment_class() { return class_once(g_judgment, &kJudgmentSpec); }
PyObject* live_judgment_class() { return class_once(g_live_judgment, &kLiveSpec); }
PyObject* derivation_class() { return class_once(g_derivation, &kDerivationSpec); }
PyObject* derivation_step_class() { return class_once(g_step, &kStepSpec); }

PyObject* new_judgment(JudgmentRef judgment) { return box(g_judgment, std::move(judgment)); }
PyObject* new_live_judgment(JudgmentRef judgment) {
  return box(g_live_judgment, std::move(judgment));
}

bool judgment_view_of(PyObject* obj, JudgmentView& view, JudgmentRef& judgment,
                      std::uint32_t& step) {
  PyTypeObject* type = Py_TYPE(obj);
  step = 0;
  if (type == g_step) {
    view = JudgmentView::DerivationStep;
    judgment = step_ref(obj).judgment;
    step = step_ref(obj).index;
    return true;
  }
  if (type == g_judgment || type == g_live_judgment || type == g_derivation) {
    view = type == g_judgment        ? JudgmentView::Judgment
           : type == g_live_judgment ? JudgmentView::LiveJudgment
                                     : JudgmentView::Derivation;
    judgment = judgment_ref(obj);
    return true;
  }
  return false;
}

PyObject* new_judgment_view(JudgmentView view, JudgmentRef judgment, std::uint32_t step) {
  switch (view) {
    case JudgmentView::Judgment:
      return box(g_judgment, std::move(judgment));
    case JudgmentView::LiveJudgment:
      return box(g_live_judgment, std::move(judgment));
    case JudgmentView::Derivation:
      return box(g_derivation, std::move(judgment));
    case JudgmentView::DerivationStep:
      break;
  }
  return box(g_step, StepRef{std::move(judgment), step});
}

bool to_judgment(PyObject* obj, JudgmentRef& out) {
  return read_boxed(obj, g_judgment, "Judgment", out);
}

PyObject* compile_function(PyObject* module) { return new_function(&kCompileFunction, module); }
PyObject* compile_static_function(PyObject* module) {
  return new_function(&kCompileStaticFunction, module);
}
PyObject* compile_at_function(PyObject* module) {
  return new_function(&kCompileAtFunction, module);
}
PyObject* compile_static_at_function(PyObject* module) {
  return new_function(&kCompileStaticAtFunction, module);
}
PyObject* moment_function(PyObject* module) { return new_function(&kMomentFunction, module); }
PyObject* evaluate_live_function(PyObject* module) {
  return new_function(&kEvaluateLiveFunction, module);
}

}  // namespace oqpy
