#pragma once

// The decision record as JSON text: what a decision was made from and what it gave, written as
// the decision log keeps it (the tool prints it indented).
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "oq/chain.h"
#include "oq/judgment.h"
#include "oq/request_reader.h"

namespace oq {

// One input of a decision: where it came from and its request document, as JSON text.
struct RecordInput {
  std::string_view source;
  JsonBytes request;  // well-formed JSON: it was read before
};

// An evaluation at a moment of use.
struct RecordLive {
  double now = 0;
  std::string_view context_fingerprint;
  std::span<const std::pair<std::string, std::string>> negative_control_states;  // id, status
  bool strict_mode = true;
  std::string_view permission;
  std::optional<std::string_view> reason;
};

struct RecordParts {
  std::string_view format;  // "ostrel-quorvane.decision/1"
  std::string_view tool;    // "ostrel-quorvane <version>"
  std::span<const RecordInput> inputs;
  bool composed = false;
  const PermissionChain* chain = nullptr;
  const CompiledJudgment* judgment = nullptr;
  const RecordLive* live = nullptr;
};

// The record in the decision log's canonical form (see canonical_json.h): keys ascending, on one
// line, the request documents in that form too, so that its SHA-256 is its content hash as it
// stands. Nullopt when a request is not a document that form writes.
std::optional<std::string> render_record(const RecordParts& parts);

// Unix seconds as RFC 3339 text in UTC ("2026-12-09T08:00:00+00:00"), or, for a moment outside
// the years 1 to 9999, the number itself followed by " (Unix seconds)".
std::string utc_text(double seconds);

// `json` with the whitespace between its tokens replaced: none, or a line break and `indent`
// spaces per level, with ": " after each key, as Python's json.dumps writes it.
std::string reformat_json(std::string_view json, unsigned indent);
// The same, appended to `out`.
void append_reformatted(std::string& out, std::string_view json, unsigned indent);

}  // namespace oq
