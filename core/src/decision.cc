#include "oq/decision.h"

#include <algorithm>
#include <cmath>

#include "oq/compiler.h"
#include "oq/compose.h"
#include "oq/decision_record.h"
#include "oq/default_chain.h"

namespace oq {

namespace {

using Fault = DecisionFault;

std::unexpected<Fault> fault(Fault::Kind kind, std::optional<std::size_t> input, std::string path,
                             std::string detail) {
  return std::unexpected(Fault{kind, input, std::move(path), std::move(detail)});
}

Fault::Kind read_kind(ReadFault::Kind kind) {
  switch (kind) {
    case ReadFault::Kind::Engine:
      return Fault::Kind::Engine;
    case ReadFault::Kind::Inline:
      return Fault::Kind::Inline;
    case ReadFault::Kind::Format:
      break;
  }
  return Fault::Kind::Format;
}

// The token states of the moment of use: the request's, each replaced by the caller's where it
// names the same token. A caller's state must name a negative-control token of the request.
std::expected<std::vector<std::pair<std::string, NegativeControlStatus>>, Fault> token_states(
    const RequestRuntime* base, const MomentOfUse* use, const ProofContext& first) {
  std::vector<std::pair<std::string, NegativeControlStatus>> states;
  if (base != nullptr && base->negative_control_states) states = *base->negative_control_states;
  if (use == nullptr) return states;
  for (const auto& [id, status] : use->negative_control_states) {
    std::vector<std::string_view> controls;
    for (const auto& token : first.tokens()) {
      if (token->is_negative_control()) controls.push_back(token->token_id());
    }
    if (std::find(controls.begin(), controls.end(), id) == controls.end()) {
      std::sort(controls.begin(), controls.end());
      std::string known;
      for (const std::string_view control : controls) {
        known.append(known.empty() ? "" : ", ").append(control);
      }
      return fault(Fault::Kind::Control, 0, id, known);
    }
    const auto same = [&](const auto& state) { return state.first == id; };
    if (const auto it = std::find_if(states.begin(), states.end(), same); it != states.end()) {
      it->second = status;
    } else {
      states.emplace_back(id, status);
    }
  }
  return states;
}

}  // namespace

std::expected<Decision, DecisionFault> decide(const DecisionRequest& request, const Clock& clock,
                                              events::Sink* sink) {
  // Each request, read once; level names resolve in the chain given, else its own.
  std::vector<ReadRequest> read;
  read.reserve(request.inputs.size());
  for (std::size_t i = 0; i < request.inputs.size(); ++i) {
    auto one =
        read_request(request.inputs[i].request, request.chain.get(), "$", request.inline_chain);
    if (!one) {
      ReadFault& why = one.error();
      return fault(read_kind(why.kind), i, std::move(why.path), std::move(why.detail));
    }
    read.push_back(std::move(*one));
  }

  // The chain in force: the one given, else the requests' own, which must agree.
  Decision decision;
  std::shared_ptr<const PermissionChain> own;
  for (std::size_t i = 0; i < read.size() && !request.chain; ++i) {
    if (!read[i].chain) continue;
    if (own && own->hash() != read[i].chain->hash()) {
      return fault(Fault::Kind::Chains, i, "$.chain", std::string(request.inputs[i].source));
    }
    if (!own) own = read[i].chain;
  }
  decision.chain_given = request.chain || own;
  decision.chain = request.chain ? request.chain : own ? own : default_chain();
  const PermissionChain* chain = decision.chain.get();

  // The moment, and the moment of use. A request's own moment of use describes its own use: a
  // composition is evaluated at one only when the caller describes it.
  const RequestRuntime* base =
      read.size() == 1 && read.front().runtime ? &*read.front().runtime : nullptr;
  std::optional<double> given = request.at;
  for (const ReadRequest& one : read) {
    if (!given && one.runtime && one.runtime->now) given = one.runtime->now;
  }
  // In whole seconds, truncated toward zero, as every moment the engine is given.
  const double seconds = given ? *given : unix_seconds(clock.now());
  const auto moment =
      std::isfinite(seconds) ? from_unix_seconds(seconds) : std::unexpected(OutOfRange::Above);
  if (!moment) {
    return fault(Fault::Kind::Moment, std::nullopt, "$", "a moment within the representable range");
  }
  const FixedClock at(*moment);

  // One compilation, of the pair composed first.
  std::shared_ptr<const ProofContext> context = read.front().context;
  if (read.size() == 2) {
    auto composed = compose_contexts(read[0].context, read[1].context, *chain, at, sink);
    if (!composed) return fault(Fault::Kind::Engine, std::nullopt, "$", composed.error().text());
    context = std::move(*composed);
  }
  auto judgment = compile_context(context, *chain, at, sink);
  if (!judgment) {
    const std::optional<std::size_t> input =
        read.size() == 1 ? std::optional<std::size_t>(0) : std::nullopt;
    return fault(Fault::Kind::Engine, input, "$", judgment.error().text());
  }
  decision.judgment = std::make_shared<const CompiledJudgment>(std::move(*judgment));

  // The moment of use, evaluated on that same judgment.
  const MomentOfUse* use = request.use;
  const bool said = use != nullptr && (use->context_fingerprint || use->lenient ||
                                       !use->negative_control_states.empty());
  std::optional<RecordLive> live;
  std::vector<std::pair<std::string, std::string>> state_names;
  std::string fingerprint;
  if ((read.size() == 1 && (request.at || base != nullptr)) || said) {
    auto states = token_states(base, use, *read.front().context);
    if (!states) return std::unexpected(std::move(states.error()));
    RuntimeContext runtime;
    fingerprint = use && use->context_fingerprint     ? *use->context_fingerprint
                  : base && base->context_fingerprint ? *base->context_fingerprint
                                                      : context->context_fingerprint();
    runtime.context_fingerprint = fingerprint;
    for (const auto& [id, status] : *states) {
      runtime.negative_control_states.insert_or_assign(id, status);
      state_names.emplace_back(id, std::string(negative_control_status_name(status)));
    }
    runtime.now = at.now();
    runtime.strict_mode = (base == nullptr || base->strict_mode) && !(use && use->lenient);
    decision.live = evaluate_live(*decision.judgment, runtime, sink);
    live = RecordLive{unix_seconds(runtime.now),
                      fingerprint,
                      state_names,
                      runtime.strict_mode,
                      decision.live->permission.name(),
                      live_check_message(decision.live->decided_by)};
  }

  // The record, in canonical form, and its digest.
  std::vector<RecordInput> inputs;
  for (const DecisionInput& input : request.inputs) inputs.push_back({input.source, input.request});
  const RecordParts parts{request.format,         request.tool, inputs,
                          read.size() == 2,       chain,        decision.judgment.get(),
                          live ? &*live : nullptr};
  auto record = render_record(parts);
  if (!record) {
    return fault(Fault::Kind::Format, std::nullopt, "$", "JSON the record's canonical form writes");
  }
  decision.record = std::move(*record);
  decision.digest = sha256(decision.record);
  return decision;
}

}  // namespace oq
