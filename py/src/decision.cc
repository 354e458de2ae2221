// _decide: one decision, from request documents to the record in the log's canonical form and
// its digest, in one call.
#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "convert.h"
#include "document.h"
#include "guard.h"
#include "judgment_classes.h"
#include "object.h"
#include "oq/decision.h"
#include "oq/digest.h"
#include "params.h"
#include "record_rendering.h"
#include "types.h"

namespace oqpy {

namespace {

bool to_status(PyObject* obj, oq::NegativeControlStatus& out) {
  std::string name;
  if (!to_text(obj, name)) return false;
  for (const auto status :
       {oq::NegativeControlStatus::Live, oq::NegativeControlStatus::Stale,
        oq::NegativeControlStatus::Failed, oq::NegativeControlStatus::Missing}) {
    if (oq::negative_control_status_name(status) == name) {
      out = status;
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError, "Unknown negative-control status: %s", name.c_str());
  return false;
}

bool to_control(PyObject* obj, std::pair<std::string, oq::NegativeControlStatus>& out) {
  if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != 2) {
    PyErr_SetString(PyExc_TypeError, "expected (token_id, status) pairs");
    return false;
  }
  return to_text(PyTuple_GET_ITEM(obj, 0), out.first) &&
         to_status(PyTuple_GET_ITEM(obj, 1), out.second);
}

bool to_controls(PyObject* obj,
                 std::vector<std::pair<std::string, oq::NegativeControlStatus>>& out) {
  return to_list(obj, out, to_control);
}

const char* kind_name(oq::DecisionFault::Kind kind) {
  switch (kind) {
    case oq::DecisionFault::Kind::Engine:
      return "engine";
    case oq::DecisionFault::Kind::Inline:
      return "inline";
    case oq::DecisionFault::Kind::Chains:
      return "chains";
    case oq::DecisionFault::Kind::Control:
      return "control";
    case oq::DecisionFault::Kind::Moment:
      return "moment";
    case oq::DecisionFault::Kind::Format:
      break;
  }
  return "format";
}

PyObject* fault_result(const oq::DecisionFault& fault) {
  Ref input = fault.input ? Ref::steal(PyLong_FromSize_t(*fault.input)) : Ref::borrow(Py_None);
  Ref path = Ref::steal(new_str(fault.path));
  Ref detail = Ref::steal(new_str(fault.detail));
  if (!input || !path || !detail) return nullptr;
  return Py_BuildValue("(O(sOOO))", Py_False, kind_name(fault.kind), input.get(), path.get(),
                       detail.get());
}

constexpr auto kDecide = signature(
    "_decide()", Callable::Function,
    "_decide(documents, sources, format, tool, chain=None, at=None, fingerprint=None, "
    "controls=None, lenient=False, inline_chain=True, judgment=False)\n--\n\n"
    "One decision on the request documents (one, or two to compose; bytes-like or str) read\n"
    "from `sources`: under `chain`, else theirs, else the default chain; as of `at` (Unix\n"
    "seconds), else their moment of use, else now; at a moment of use whose fingerprint,\n"
    "negative-control states [(token_id, status name)] and leniency the caller may give.\n"
    "Returns (True, (record, digest, chain, chain_hash, chain_given, permission, live,\n"
    "judgment, ids)): the record in the log's canonical form, its SHA-256 in hex, the chain\n"
    "in force and its hash in hex, the\n"
    "judged level, live as (permission, reason, floored) or None, the Judgment when asked for,\n"
    "and the (first) request's (claim_id, candidate_id, context_id); or (False, (kind, input,\n"
    "path, detail)).",
    Param{"documents"}, Param{"sources"}, Param{"format"}, Param{"tool"},
    Param{"chain", Policy::OrNone}, Param{"at", Policy::OrNone},
    Param{"fingerprint", Policy::OrNone}, Param{"controls", Policy::OrNone},
    Param{"lenient", Policy::OrValue, "False"}, Param{"inline_chain", Policy::OrValue, "True"},
    Param{"judgment", Policy::OrValue, "False"});

PyObject* decide(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kDecide> a;
  std::vector<std::string> sources;
  std::string format, tool;
  std::optional<double> at;
  oq::MomentOfUse use;
  bool inline_chain = true;
  bool want_judgment = false;
  oq::DecisionRequest request;
  if (!a.bind(args, nargs, kwnames) || !a.get(1, sources, to_text_list) ||
      !a.get(2, format, to_text) || !a.get(3, tool, to_text) ||
      !a.get(4, request.chain, to_chain) || !a.get_optional(5, at, to_real) ||
      !a.get_optional(6, use.context_fingerprint, to_text) ||
      !a.get(7, use.negative_control_states, to_controls) || !a.get(8, use.lenient, to_bool) ||
      !a.get(9, inline_chain, to_bool) || !a.get(10, want_judgment, to_bool)) {
    return nullptr;
  }
  // The documents are held, their bytes unchanged, until the call returns.
  PyObject* given = a[0];
  if (!PyList_Check(given) && !PyTuple_Check(given)) {
    PyErr_SetString(PyExc_TypeError, "documents must be a list of one or two documents");
    return a.failed(0);
  }
  Ref documents = Ref::steal(PySequence_Fast(given, "documents must be a sequence"));
  if (!documents) return nullptr;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(documents.get());
  if (count < 1 || count > 2 || static_cast<std::size_t>(count) != sources.size()) {
    PyErr_SetString(PyExc_ValueError, "expected one or two documents, and a source for each");
    return a.failed(0);
  }
  std::array<Document, 2> held;
  std::vector<oq::DecisionInput> inputs;
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!held[i].open(PySequence_Fast_GET_ITEM(documents.get(), i), std::nullopt)) {
      return a.failed(0);
    }
    inputs.push_back({sources[i], held[i].json()});
  }
  request.inputs = inputs;
  request.at = at;
  request.use = &use;
  request.inline_chain = inline_chain ? oq::InlineChain::Read : oq::InlineChain::Refuse;
  request.format = format;
  request.tool = tool;
  auto decision = oq::decide(request, oq::system_clock(), tracing_sink());
  if (!decision) return fault_result(decision.error());

  std::array<char, 64> hex{};
  oq::hex_into(decision->digest, hex.data());
  Ref record = Ref::steal(new_str(decision->record));
  Ref digest = Ref::steal(PyUnicode_FromStringAndSize(hex.data(), hex.size()));
  Ref chain = Ref::steal(new_chain(decision->chain));
  Ref chain_key = Ref::steal(new_str(decision->chain->hash().to_hex()));
  Ref level = Ref::steal(new_str(decision->judgment->permission.name()));
  Ref live = Ref::borrow(Py_None);
  if (decision->live) {
    const oq::LiveOutcome& outcome = *decision->live;
    Ref permission = Ref::steal(new_str(outcome.permission.name()));
    Ref reason = Ref::steal(new_str(oq::live_check_message(outcome.decided_by)));
    if (!permission || !reason) return nullptr;
    const bool floored = outcome.decided_by != oq::LiveCheck::Passed;
    live =
        Ref::steal(PyTuple_Pack(3, permission.get(), reason.get(), floored ? Py_True : Py_False));
  }
  Ref judgment =
      want_judgment ? Ref::steal(new_judgment(decision->judgment)) : Ref::borrow(Py_None);
  const oq::ProofContext& context = *decision->judgment->context;
  Ref claim = Ref::steal(new_str(context.claim_id()));
  Ref candidate = Ref::steal(new_str(context.candidate_id()));
  Ref context_id = Ref::steal(new_str(context.context_id()));
  if (!record || !digest || !chain || !chain_key || !level || !live || !judgment || !claim ||
      !candidate || !context_id) {
    return nullptr;
  }
  return Py_BuildValue("(O(OOOOOOOO(OOO)))", Py_True, record.get(), digest.get(), chain.get(),
                       chain_key.get(), decision->chain_given ? Py_True : Py_False, level.get(),
                       live.get(), judgment.get(), claim.get(), candidate.get(), context_id.get());
}

PyMethodDef kDecideFunction = {"_decide", as_cfunction(guarded<decide>), kFastFlags, kDecide.doc};

}  // namespace

PyObject* decide_function(PyObject* module) { return new_function(&kDecideFunction, module); }

}  // namespace oqpy
