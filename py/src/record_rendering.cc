// _render_record: the decision record as JSON text, written natively.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "convert.h"
#include "guard.h"
#include "judgment_classes.h"
#include "object.h"
#include "oq/canonical_json.h"
#include "oq/decision_record.h"
#include "params.h"
#include "record_rendering.h"
#include "types.h"

namespace oqpy {

namespace {

// A JSON text argument: a str or a bytes-like object, copied out of it.
bool to_json_text(PyObject* obj, std::string& out) {
  if (PyUnicode_Check(obj)) return to_text(obj, out);
  Py_buffer view{};
  if (PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) < 0) return false;
  out.assign(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
  PyBuffer_Release(&view);
  return true;
}

bool to_json_texts(PyObject* obj, std::vector<std::string>& out) {
  return to_list(obj, out, to_json_text);
}

// (now, context_fingerprint, [(token_id, status)], strict_mode, permission, reason or None)
struct Live {
  double now = 0;
  std::string fingerprint;
  std::vector<std::pair<std::string, std::string>> states;
  bool strict = true;
  std::string permission;
  std::optional<std::string> reason;
};

bool to_live(PyObject* obj, Live& out) {
  if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != 6) {
    PyErr_SetString(PyExc_TypeError, "expected a 6-tuple describing the moment of use");
    return false;
  }
  const auto item = [obj](Py_ssize_t i) { return PyTuple_GET_ITEM(obj, i); };
  const auto pair = [](PyObject* entry, std::pair<std::string, std::string>& pair) {
    if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) != 2) {
      PyErr_SetString(PyExc_TypeError, "expected (token_id, status) pairs");
      return false;
    }
    return to_text(PyTuple_GET_ITEM(entry, 0), pair.first) &&
           to_text(PyTuple_GET_ITEM(entry, 1), pair.second);
  };
  if (!to_real(item(0), out.now) || !to_text(item(1), out.fingerprint) ||
      !to_list(item(2), out.states, pair) || !to_bool(item(3), out.strict) ||
      !to_text(item(4), out.permission)) {
    return false;
  }
  if (item(5) != Py_None) return to_text(item(5), out.reason.emplace());
  return true;
}

constexpr auto kRenderRecord = signature(
    "_render_record()", Callable::Function,
    "_render_record(format, tool, sources, requests, composed, chain, judgment, live=None, "
    "indent=0)\n--\n\n"
    "The decision record of `judgment` as JSON text: on one line, or indented by `indent`\n"
    "spaces. `requests` are the JSON texts of the request documents read from `sources`;\n"
    "`live` is None or (now, context_fingerprint, [(token_id, status)], strict_mode,\n"
    "permission, reason).",
    Param{"format"}, Param{"tool"}, Param{"sources"}, Param{"requests"}, Param{"composed"},
    Param{"chain"}, Param{"judgment"}, Param{"live", Policy::OrNone},
    Param{"indent", Policy::OrValue, "0"});

PyObject* render_record(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kRenderRecord> a;
  std::string format, tool;
  std::vector<std::string> sources, requests;
  bool composed = false;
  std::shared_ptr<const oq::PermissionChain> chain;
  std::shared_ptr<const oq::CompiledJudgment> judgment;
  std::optional<Live> live;
  std::uint64_t indent = 0;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, format, to_text) || !a.get(1, tool, to_text) ||
      !a.get(2, sources, to_text_list) || !a.get(3, requests, to_json_texts) ||
      !a.get(4, composed, to_bool) || !a.get(5, chain, to_chain) ||
      !a.get(6, judgment, to_judgment) || !a.get_optional(7, live, to_live) ||
      !a.get(8, indent, to_index)) {
    return nullptr;
  }
  if (sources.size() != requests.size()) {
    PyErr_SetString(PyExc_ValueError, "sources and requests differ in length");
    return nullptr;
  }
  std::vector<oq::RecordInput> inputs;
  for (std::size_t i = 0; i < sources.size(); ++i) inputs.push_back({sources[i], requests[i]});
  oq::RecordLive moment;
  if (live) {
    moment = oq::RecordLive{live->now,    live->fingerprint, live->states,
                            live->strict, live->permission,  live->reason};
  }
  const oq::RecordParts parts{
      format, tool, inputs, composed, chain.get(), judgment.get(), live ? &moment : nullptr};
  return new_str(
      oq::render_record(parts, static_cast<unsigned>(std::min<std::uint64_t>(indent, 16))));
}

constexpr auto kCanonicalJson = signature(
    "_canonical_json()", Callable::Function,
    "_canonical_json(data)\n--\n\n"
    "The JSON text `data` in the decision log's canonical form: keys sorted, no insignificant\n"
    "whitespace, strings as themselves, numbers as Python writes them. None for a document\n"
    "this reader leaves to Python: one that is not JSON, or holds an integer beyond 64 bits.",
    Param{"data"});

PyObject* canonical_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kCanonicalJson> a;
  std::string text;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, text, to_json_text)) return nullptr;
  // The text is the call's own copy: the interpreter can run meanwhile (a service logging
  // decisions canonicalizes them beside the requests it answers).
  std::expected<std::string, std::string> canonical;
  Py_BEGIN_ALLOW_THREADS canonical = oq::canonical_json(text);
  Py_END_ALLOW_THREADS if (canonical) return new_str(*canonical);
  Py_RETURN_NONE;
}

PyMethodDef kCanonicalJsonFunction = {"_canonical_json", as_cfunction(guarded<canonical_json>),
                                      kFastFlags, kCanonicalJson.doc};
PyMethodDef kRenderRecordFunction = {"_render_record", as_cfunction(guarded<render_record>),
                                     kFastFlags, kRenderRecord.doc};

}  // namespace

PyObject* render_record_function(PyObject* module) {
  return new_function(&kRenderRecordFunction, module);
}
PyObject* canonical_json_function(PyObject* module) {
  return new_function(&kCanonicalJsonFunction, module);
}

}  // namespace oqpy
