#pragma once

// Request and chain documents, read from JSON bytes straight into the engine's records.
//
// Reading is strict. A document that is not JSON as a strict reader takes it (a syntax error, a
// duplicated key, NaN, Infinity or a number no double holds, more than kMaxJsonDepth levels of
// nesting, bytes that are not UTF-8, a lone surrogate escape) is refused first, whatever else is
// wrong with it. Then an unknown field, a missing one or a value of the wrong JSON type is refused
// with the JSON path of the value and what was expected there; a value the engine itself refuses
// (an unknown status, a chain that breaks its rules) with the engine's own message.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "oq/chain.h"
#include "oq/context.h"
#include "oq/live_evaluation.h"

namespace oq {

// Arrays and objects nested deeper than this in one document are refused. The bound stays well
// inside what a recursive reader (Python's own json among them) takes on a thread's stack.
inline constexpr std::size_t kMaxJsonDepth = 512;
// Requests and chains nest less, so that the decision record that holds one a few levels down
// (a record's inputs, a composition's pair) is itself a document every reader takes.
inline constexpr std::size_t kMaxRequestDepth = 500;
static_assert(kMaxRequestDepth + 8 <= kMaxJsonDepth);
// Readable bytes a caller may leave after a document's end so that it is read in place; a
// document given with less is copied once into a padded buffer.
inline constexpr std::size_t kJsonPadding = 64;

// Why a document could not be read.
struct ReadFault {
  enum class Kind : std::uint8_t {
    Format,  // not the format: `detail` is what was expected at `path`
    Engine,  // a well-formed value the engine refused: `detail` is the engine's message
    Inline,  // a chain of the request's own, where the caller refuses one: `detail` says so
  };
  Kind kind;
  std::string path;    // "$.tokens[3].issued_at"; WTF-8, as a key with a lone surrogate gives
  std::string detail;  // WTF-8 likewise, where it echoes such a key
};

// A document's bytes and how many bytes past its end may be read.
struct JsonBytes {
  std::string_view text;
  std::size_t readable =
      0;  // at least text.size(); reading is in place from text.size() + kJsonPadding
};

// The moment of use a request may carry; absent fields are filled in when evaluating.
struct RequestRuntime {
  std::optional<double> now{};
  std::optional<std::string> context_fingerprint{};
  std::optional<std::vector<std::pair<std::string, NegativeControlStatus>>>
      negative_control_states{};
  bool strict_mode = true;
};

// A request document, read.
struct ReadRequest {
  std::shared_ptr<const ProofContext> context;
  std::shared_ptr<const PermissionChain> chain;  // the document's own chain; null when it has none
  std::optional<RequestRuntime> runtime{};
};

// Whether a request may carry a chain of its own. Every level name a process reads stays
// interned for its life, so a service that reads requests from strangers refuses their chains.
enum class InlineChain : std::uint8_t { Read, Refuse };

// Reads a request document whose root is at `root` ("$" for a whole file). Level names resolve in
// `chain` when given, else in the document's own chain, else in the default chain.
std::expected<ReadRequest, ReadFault> read_request(JsonBytes json, const PermissionChain* chain,
                                                   std::string_view root = "$",
                                                   InlineChain inline_chain = InlineChain::Read);

// Reads a chain document: its `levels` and `roles`.
std::expected<std::shared_ptr<const PermissionChain>, ReadFault> read_chain(
    JsonBytes json, std::string_view root = "$");

// Reads one time as a request holds it: Unix seconds (a JSON number) or RFC 3339 text with a UTC
// offset, as Unix seconds.
std::expected<double, ReadFault> read_time(JsonBytes json, std::string_view root = "$");

// The texts of the members `names` of the object `json`, in that order, as views into it: for a
// document that holds requests (a pair to compose). Each must be there, and nothing else; the
// whole document must be strict JSON nested at most kMaxJsonDepth levels.
std::expected<std::vector<std::string_view>, ReadFault> read_members(
    JsonBytes json, std::span<const std::string_view> names, std::string_view root = "$");

// The first fault a strict reader finds in `json` as JSON (its shape aside); nullopt for a
// well-formed document.
std::optional<ReadFault> check_json(JsonBytes json, std::string_view root = "$");

}  // namespace oq
