#pragma once

// One decision, from request documents as bytes to its record: each request read once, the
// context compiled once (the pair composed first, for two), the moment of use evaluated on that
// same judgment, and the record written in the decision log's canonical form with its SHA-256.
// The rules of what is in force live here and nowhere else:
//   - the chain: the one given, else the requests' own (which must agree), else the default;
//   - the moment: the one given, else the first request's own moment of use, else one reading of
//     the clock, in whole seconds;
//   - the moment of use: for one request, evaluated when a moment is given, when the request
//     describes one, or when the caller says anything of it; for a composed pair, only when the
//     caller does (each request's own describes its own use). Its fingerprint, token states and
//     mode are the caller's, else the request's, else the context's own fingerprint, no states
//     and strict mode.
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
#include "oq/clock.h"
#include "oq/digest.h"
#include "oq/events.h"
#include "oq/judgment.h"
#include "oq/live_evaluation.h"
#include "oq/request_reader.h"

namespace oq {

// One request: where it came from and its document.
struct DecisionInput {
  std::string_view source;
  JsonBytes request;
};

// What a caller says of the moment of use, over what the requests say.
struct MomentOfUse {
  std::optional<std::string> context_fingerprint{};
  // Each must name a negative-control token of the (first) request.
  std::vector<std::pair<std::string, NegativeControlStatus>> negative_control_states{};
  bool lenient = false;  // strict mode off
};

struct DecisionRequest {
  std::span<const DecisionInput> inputs;           // one, or two to compose
  std::shared_ptr<const PermissionChain> chain{};  // the chain given, if any
  std::optional<double> at{};                      // the moment given, if any
  const MomentOfUse* use = nullptr;
  InlineChain inline_chain = InlineChain::Read;
  std::string_view format;  // the record's format, "ostrel-quorvane.decision/1"
  std::string_view tool;    // the tool that made it, "ostrel-quorvane <version>"
};

// Why no decision was made.
struct DecisionFault {
  enum class Kind : std::uint8_t {
    Format,   // a request is not the format: `detail` is what was expected at `path`
    Engine,   // the engine refused: its message
    Inline,   // a request's own chain, refused
    Chains,   // the requests name different chains: `detail` names the later one's source
    Control,  // a token state given for no negative-control token: `path` is its id, `detail`
              // the request's such tokens, comma-separated
    Moment,   // a moment outside the representable range: `detail` says which
  };
  Kind kind;
  std::optional<std::size_t> input;  // the input it concerns; none for the decision as a whole
  std::string path;
  std::string detail;
};

struct Decision {
  std::string record;  // canonical
  Sha256Digest digest;
  std::shared_ptr<const PermissionChain> chain;  // in force
  bool chain_given = false;                      // by the caller or a request
  std::shared_ptr<const CompiledJudgment> judgment;
  std::optional<LiveOutcome> live{};
};

std::expected<Decision, DecisionFault> decide(const DecisionRequest& request,
                                              const Clock& clock = system_clock(),
                                              events::Sink* sink = nullptr);

}  // namespace oq
