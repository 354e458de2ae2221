#include "oq/live_evaluation.h"

#include <array>

#include "oq/default_chain.h"
#include "oq/events.h"
#include "oq/quote.h"

namespace oq {

namespace {

using events::Field;
using events::Level;

constexpr std::string_view kTarget = "ostrel_quorvane_core::expiry";
constexpr std::string_view kFile = "ostrel-quorvane-core/src/expiry";

constinit events::Site kExpired{kTarget, Level::Warn, "judgment expired; returning ExpiryFloor",
                                kFile, 191};
constinit events::Site kForeign{kTarget, Level::Warn, "fingerprint mismatch; returning Bottom",
                                kFile, 199};
constinit events::Site kNotLive{kTarget, Level::Warn,
                                "T17: negative-control not live; flooring to Refused", kFile, 217};
constinit events::Site kRead{kTarget, Level::Debug, "live permission read", kFile, 225};

// The fields every runtime event carries, then `extra`.
template <std::size_t N>
std::array<Field, N + 2> with_ids(const CompiledJudgment& judgment, std::array<Field, N> extra) {
  std::array<Field, N + 2> out{Field{"candidate_id", judgment.context->candidate_id()},
                               Field{"claim_id", judgment.context->claim_id()}};
  for (std::size_t i = 0; i < N; ++i) out[i + 2] = std::move(extra[i]);
  return out;
}

}  // namespace

std::string_view negative_control_status_name(NegativeControlStatus status) {
  switch (status) {
    case NegativeControlStatus::Live:
      return "Live";
    case NegativeControlStatus::Stale:
      return "Stale";
    case NegativeControlStatus::Failed:
      return "Failed";
    case NegativeControlStatus::Missing:
      return "Missing";
  }
  return "";
}

std::string runtime_repr(const RuntimeContext& runtime) {
  std::string out = "RuntimeContext(now=" + format_rfc3339(runtime.now) + ", fp=";
  append_quoted(out, runtime.context_fingerprint);
  out += runtime.strict_mode ? ", strict_mode=true)" : ", strict_mode=false)";
  return out;
}

LiveOutcome evaluate_live(const CompiledJudgment& judgment, const RuntimeContext& runtime,
                          events::Sink* sink) {
  const DefaultLevels& floors = default_levels();
  if (judgment.expiry.fired(runtime.now)) {
    events::emit(sink, kExpired, [&] { return with_ids<0>(judgment, {}); });
    return {floors.EXP, LiveCheck::Deadline};
  }
  const std::string& fingerprint = judgment.context->context_fingerprint();
  if (runtime.context_fingerprint != fingerprint) {
    events::emit(sink, kForeign, [&] {
      return with_ids<2>(judgment, {Field{"runtime_fingerprint", runtime.context_fingerprint},
                                    Field{"compile_fingerprint", fingerprint}});
    });
    return {floors.OOC, LiveCheck::Fingerprint};
  }
  if (runtime.strict_mode) {
    for (const auto& token : judgment.context->tokens()) {
      if (!token->is_negative_control()) continue;
      const auto found = runtime.negative_control_states.find(std::string_view(token->token_id()));
      if (found != runtime.negative_control_states.end() &&
          found->second == NegativeControlStatus::Live) {
        continue;
      }
      events::emit(sink, kNotLive, [&] {
        return with_ids<1>(judgment, {Field{"failed_nc_token_id", std::string(token->token_id())}});
      });
      return {floors.REF, LiveCheck::NegativeControl};
    }
  }
  // Compiled again now, a token that has run out would floor the judgment at ExpiryFloor: the
  // live answer never grants on expired evidence.
  if (judgment.evidence_expiry.fired(runtime.now)) {
    events::emit(sink, kExpired, [&] { return with_ids<0>(judgment, {}); });
    return {floors.EXP, LiveCheck::Evidence};
  }
  events::emit(sink, kRead, [&] {
    return with_ids<1>(judgment, {Field{"permission", std::string(judgment.permission.name())}});
  });
  return {judgment.permission, LiveCheck::Passed};
}

std::string_view live_check_message(LiveCheck check) {
  switch (check) {
    case LiveCheck::Deadline:
    case LiveCheck::Evidence:
      return kExpired.message;
    case LiveCheck::Fingerprint:
      return kForeign.message;
    case LiveCheck::NegativeControl:
      return kNotLive.message;
    case LiveCheck::Passed:
      break;
  }
  return kRead.message;
}

}  // namespace oq
