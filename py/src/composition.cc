// compose, which merges two requests into one that can never be granted more than either.
#include "composition.h"

#include "convert.h"
#include "errors.h"
#include "guard.h"
#include "object.h"
#include "oq/compose.h"
#include "oq/default_chain.h"
#include "params.h"
#include "types.h"

namespace oqpy {

namespace {

constexpr auto kCompose = signature("compose()", Callable::Function,
                                    "compose(g1, g2, chain=None)\n--\n\n"
                                    "Compose two ProofContexts into one.",
                                    Param{"g1"}, Param{"g2"}, Param{"chain", Policy::OrNone});

constexpr auto kComposeAt =
    signature("_compose_at()", Callable::Function,
              "_compose_at(g1, g2, at, chain=None)\n--\n\n"
              "Compose two ProofContexts into one as if the clock read `at`: each input's own\n"
              "level, which bounds the result, is judged at that moment.",
              Param{"g1"}, Param{"g2"}, Param{"at"}, Param{"chain", Policy::OrNone});

// Composes `g1` and `g2` under the bound chain in slot `chain_slot` (the default chain when
// absent) on `clock`; null with the engine's error raised as CompositionError. The arguments are
// converted in parameter order: the contexts, the moment if any, then the chain.
template <const auto& Sig>
PyObject* compose_bound(const Args<Sig>& a, const std::shared_ptr<const oq::ProofContext>& g1,
                        const std::shared_ptr<const oq::ProofContext>& g2, std::size_t chain_slot,
                        const oq::Clock& clock) {
  std::shared_ptr<const oq::PermissionChain> chain;
  if (!a.get(chain_slot, chain, to_chain)) return nullptr;
  auto composed =
      oq::compose_contexts(g1, g2, chain ? *chain : *oq::default_chain(), clock, tracing_sink());
  if (!composed) return raise_error(composed.error(), Exc::Composition);
  return new_context(std::move(*composed));
}

PyObject* compose(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kCompose> a;
  std::shared_ptr<const oq::ProofContext> g1, g2;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, g1, to_context) || !a.get(1, g2, to_context)) {
    return nullptr;
  }
  return compose_bound(a, g1, g2, 2, oq::system_clock());
}

PyObject* compose_at(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kComposeAt> a;
  std::shared_ptr<const oq::ProofContext> g1, g2;
  oq::UtcTime at{};
  if (!a.bind(args, nargs, kwnames) || !a.get(0, g1, to_context) || !a.get(1, g2, to_context) ||
      !a.get(2, at, to_moment)) {
    return nullptr;
  }
  return compose_bound(a, g1, g2, 3, oq::FixedClock(at));
}

PyMethodDef kComposeFunction = {"compose", as_cfunction(guarded<compose>), kFastFlags,
                                kCompose.doc};
PyMethodDef kComposeAtFunction = {"_compose_at", as_cfunction(guarded<compose_at>), kFastFlags,
                                  kComposeAt.doc};

}  // namespace

PyObject* compose_function(PyObject* module) { return new_function(&kComposeFunction, module); }
PyObject* compose_at_function(PyObject* module) {
  return new_function(&kComposeAtFunction, module);
}

}  // namespace oqpy
