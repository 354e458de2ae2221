// _canonical_json, _reformat_json and _utc_text: the decision record's forms, written natively.
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

constexpr auto kReformatJson = signature(
    "_reformat_json()", Callable::Function,
    "_reformat_json(text, indent)\n--\n\n"
    "The well-formed JSON `text` with the whitespace between its tokens replaced: none, or a\n"
    "line break and `indent` spaces per level, with \": \" after each key.",
    Param{"text"}, Param{"indent"});

PyObject* reformat_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kReformatJson> a;
  std::string text;
  std::uint64_t indent = 0;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, text, to_text) || !a.get(1, indent, to_index)) {
    return nullptr;
  }
  return new_str(
      oq::reformat_json(text, static_cast<unsigned>(std::min<std::uint64_t>(indent, 16))));
}

constexpr auto kUtcText = signature(
    "_utc_text()", Callable::Function,
    "_utc_text(seconds)\n--\n\n"
    "Unix seconds as a decision record writes them in UTC (\"2026-12-09T08:00:00+00:00\"), or\n"
    "the number followed by \" (Unix seconds)\" outside the years 1 to 9999.",
    Param{"seconds"});

PyObject* utc_text(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<kUtcText> a;
  double seconds = 0;
  if (!a.bind(args, nargs, kwnames) || !a.get(0, seconds, to_real)) return nullptr;
  return new_str(oq::utc_text(seconds));
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
PyMethodDef kReformatJsonFunction = {"_reformat_json", as_cfunction(guarded<reformat_json>),
                                     kFastFlags, kReformatJson.doc};
PyMethodDef kUtcTextFunction = {"_utc_text", as_cfunction(guarded<utc_text>), kFastFlags,
                                kUtcText.doc};

}  // namespace

PyObject* reformat_json_function(PyObject* module) {
  return new_function(&kReformatJsonFunction, module);
}
PyObject* utc_text_function(PyObject* module) { return new_function(&kUtcTextFunction, module); }
PyObject* canonical_json_function(PyObject* module) {
  return new_function(&kCanonicalJsonFunction, module);
}

}  // namespace oqpy
