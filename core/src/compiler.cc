#include "oq/compiler.h"

#include <array>
#include <memory>
#include <type_traits>

#include "compiler_events.h"
#include "context_index.h"
#include "oq/events.h"
#include "oq/panic.h"
#include "oq/quote.h"
#include "profile_search.h"

namespace oq {

namespace {

using events::Field;
using events::Level;

constinit events::Site kCompileSpan{kCompilerTarget, Level::Info, "quorvane.compile", kCompilerFile,
                                    0};
constinit events::Site kOutOfClass{kCompilerTarget, Level::Debug,
                                   "out-of-class membership: emitting Bottom", kCompilerFile, 217};
constinit events::Site kContextExpired{kCompilerTarget, Level::Warn,
                                       "context expiry has already fired; emitting ExpiryFloor",
                                       kCompilerFile, 242};
constinit events::Site kBlockers{kCompilerTarget, Level::Warn,
                                 "structural blocker(s) detected; meeting outcome with Refused",
                                 kCompilerFile, 369};
constinit events::Site kDisallowed{kCompilerTarget, Level::Warn,
                                   "disallowed_uses present; meeting with ceiling", kCompilerFile,
                                   391};
constinit events::Site kAuthority{kCompilerTarget, Level::Warn,
                                  "authority ceiling lowered permission", kCompilerFile, 415};
constinit events::Site kNonPromotion{kCompilerTarget, Level::Warn,
                                     "non-promotion ceiling (T9) lowered permission", kCompilerFile,
                                     434};
constinit events::Site kExpiredTokens{kCompilerTarget, Level::Warn,
                                      "expired proof token(s); meeting outcome with ExpiryFloor",
                                      kCompilerFile, 470};
constinit events::Site kNegativeControls{
    kCompilerTarget, Level::Debug,
    "negative-control tokens registered for runtime liveness check (T17)", kCompilerFile, 493};
constinit events::Site kComplete{kCompilerTarget, Level::Debug, "compilation complete",
                                 kCompilerFile, 509};

std::string name_of(Permission level) { return std::string(level.name()); }

std::uint8_t rank_in(const PermissionChain& chain, Permission level, const char* what) {
  const auto rank = chain.rank(level);
  if (!rank) panic(what);
  return *rank;
}

std::string quoted_ids(const ProofContext& context, std::span<const std::uint32_t> positions) {
  std::string out = "[";
  for (std::size_t i = 0; i < positions.size(); ++i) {
    if (i != 0) out += ", ";
    append_quoted(out, context.tokens()[positions[i]]->token_id());
  }
  out += ']';
  return out;
}

// The permission in force and the derivation recorded so far. Steps and token positions are
// gathered in reusable room and copied out at their exact size, so a held judgment carries no
// spare capacity.
class Derivator {
 public:
  Derivator(const PermissionChain& chain, Permission start, std::vector<std::uint32_t>& refs,
            bool keep)
      : keep_(keep),
        chain_(chain),
        current_(start),
        current_rank_(rank_in(chain, start, "outcome must be in chain")),
        refs_(refs) {}

  Permission current() const { return current_; }
  std::uint8_t current_rank() const { return current_rank_; }
  std::vector<std::uint32_t>& refs() { return refs_; }
  std::vector<std::string>& labels() { return labels_; }
  // Lowers the level to meet(current, ceiling); whether that lowered it. Fails for a foreign level.
  std::expected<bool, CoreError> lower_to(Permission ceiling, Permission& before) {
    const auto rank = chain_.rank(ceiling);
    if (!rank) return std::unexpected(chain_failure(chain_.meet(current_, ceiling).error()));
    before = current_;
    if (!(*rank < current_rank_)) return false;
    current_ = chain_.levels()[*rank];
    current_rank_ = *rank;
    return true;
  }
  void set(Permission level) {
    current_ = level;
    current_rank_ = rank_in(chain_, level, "outcome must be in chain");
  }
  // Records a step at the current level; `refs` are token positions it rests on.
  void record(Phase phase, StepDetail detail = StepDetail::None,
              std::span<const std::uint32_t> refs = {}) {
    DerivationStep step{phase, detail, current_};
    step.first_ref = static_cast<std::uint32_t>(refs_.size());
    step.ref_count = static_cast<std::uint32_t>(refs.size());
    refs_.insert(refs_.end(), refs.begin(), refs.end());
    record(step);
  }
  void record(const DerivationStep& step) {
    if (count_ == kMaxSteps) panic("a derivation has at most one step per phase");
    std::construct_at(&room_.steps[count_++], step);
  }
  // The derivation recorded, compiled at `compiled_at`; empty when it is not to be kept.
  Derivation take(UtcTime compiled_at) {
    if (!keep_) return Derivation{{}, {}, {}, compiled_at};
    return Derivation{std::vector<DerivationStep>(room_.steps, room_.steps + count_),
                      std::vector<std::uint32_t>(refs_.begin(), refs_.end()), std::move(labels_),
                      compiled_at};
  }

 private:
  bool keep_;
  const PermissionChain& chain_;
  Permission current_;
  std::uint8_t current_rank_;
  std::vector<std::uint32_t>& refs_;
  std::vector<std::string> labels_;
  // Room for the most steps a derivation can have: one per phase, two for structural blockers.
  static constexpr std::size_t kMaxSteps = 8;
  // Left unset: each step is made in place before it is read.
  union Room {
    Room() {}  // NOLINT(modernize-use-equals-default): `= default` would set every step
    DerivationStep steps[kMaxSteps];
  } room_;
  static_assert(std::is_trivially_destructible_v<DerivationStep>);
  std::size_t count_ = 0;
};

// The pipeline; `keep` says whether the derivation is kept in the result.
std::expected<CompiledJudgment, CoreError> run_pipeline(
    std::shared_ptr<const ProofContext> context_ref, const PermissionChain& chain,
    const Clock& clock, events::Sink* sink, bool keep) {
  const ProofContext& context = *context_ref;
  const events::Span span(sink, kCompileSpan, [&] {
    return std::array{
        Field{"claim_id", context.claim_id()}, Field{"candidate_id", context.candidate_id()},
        Field{"context_id", context.context_id()}, Field{"allowed_use", context.allowed_use()},
        Field{"chain_hash", chain.hash().to_hex()}};
  });

  auto built = ContextIndex::build(context, chain);
  if (!built) return std::unexpected(std::move(built.error()));
  ContextIndex& index = *built;

  const UtcTime compiled_at = clock.now();
  const Permission bottom = chain.role(ChainRole::Bottom);
  const Permission expiry_floor = chain.role(ChainRole::ExpiryFloor);
  const Permission refused = chain.role(ChainRole::Refused);
  const Permission unsatisfied = chain.role(ChainRole::Unsatisfied);
  const Permission threshold = chain.role(ChainRole::BlockerThreshold);
  const Permission top = chain.role(ChainRole::Top);

  Derivator d(chain, bottom, index.scratch_refs(), keep);
  Expiry evidence_expiry = Expiry::never();
  const auto finish = [&]() -> CompiledJudgment {
    return CompiledJudgment{std::move(context_ref), d.take(compiled_at),
                            context.expiry(),       d.current(),
                            chain.hash(),           evidence_expiry};
  };

  if (!context.membership().is_in_class()) {
    events::emit(sink, kOutOfClass, [&] {
      return std::array{Field{"phase", "membership_check"},
                        Field{"membership", membership_rendering(context.membership()), true},
                        Field{"permission", name_of(bottom)}};
    });
    d.record(Phase::MembershipCheck);
    return finish();
  }

  const UtcTime now = clock.now();
  if (context.expiry().fired(now)) {
    events::emit(sink, kContextExpired, [] {
      return std::array{Field{"phase", "context_expiry"}};
    });
    d.set(expiry_floor);
    d.record(Phase::ContextExpiry);
    return finish();
  }

  const auto searched =
      descending_search(index, chain, bottom, unsatisfied, clock, sink, d.refs(), d.labels());
  if (!searched) return std::unexpected(searched.error());
  const SearchOutcome& search = *searched;
  d.set(search.step.permission_after);
  d.record(search.step);

  const ScreeningFlags flags = search.flags;
  if ((flags.provenance_mismatch || flags.dead_credential) &&
      d.current_rank() < rank_in(chain, threshold, "threshold must be in chain")) {
    events::emit(sink, kBlockers, [&] {
      return std::array{Field{"phase", "structural_blockers"},
                        Field{"provenance_mismatch", flags.provenance_mismatch ? "true" : "false"},
                        Field{"dead_credential", flags.dead_credential ? "true" : "false"}};
    });
    Permission before;
    if (auto lowered = d.lower_to(refused, before); !lowered) {
      return std::unexpected(std::move(lowered.error()));
    }
    d.record(Phase::StructuralBlockers, !flags.dead_credential      ? StepDetail::ProvenanceMismatch
                                        : flags.provenance_mismatch ? StepDetail::BothRejected
                                                                    : StepDetail::DeadCredential);
  }

  // Each ceiling lowers the level when it lies below it and records why.
  const auto apply_ceiling = [&](Permission ceiling, const events::Site& site, Phase phase,
                                 StepDetail detail, auto&& fields,
                                 std::span<const std::uint32_t> refs) -> std::optional<CoreError> {
    Permission before;
    auto lowered = d.lower_to(ceiling, before);
    if (!lowered) return std::move(lowered.error());
    if (!*lowered) return std::nullopt;
    events::emit(sink, site, [&] { return fields(before); });
    d.record(phase, detail, refs);
    return std::nullopt;
  };

  if (!context.disallowed_uses().empty()) {
    const Permission ceiling = chain.role(ChainRole::DisallowedUsesCeiling);
    if (auto error = apply_ceiling(ceiling, kDisallowed, Phase::StructuralBlockers,
                                   StepDetail::DisallowedUses,
                                   [&](Permission before) {
                                     return std::array{Field{"phase", "structural_blockers"},
                                                       Field{"before", name_of(before)},
                                                       Field{"after", name_of(d.current())}};
                                   },
                                   {})) {
      return std::unexpected(std::move(*error));
    }
  }

  const Permission authority = context.authority_ceiling().value_or(top);
  if (auto error = apply_ceiling(authority, kAuthority, Phase::AuthorityCeiling, StepDetail::None,
                                 [&](Permission before) {
                                   return std::array{Field{"phase", "authority_ceiling"},
                                                     Field{"ceiling", name_of(authority)},
                                                     Field{"before", name_of(before)}};
                                 },
                                 {})) {
    return std::unexpected(std::move(*error));
  }

  const Permission non_promotion = context.permission_ceiling().value_or(top);
  if (auto error =
          apply_ceiling(non_promotion, kNonPromotion, Phase::PermissionCeiling, StepDetail::None,
                        [&](Permission before) {
                          return std::array{Field{"phase", "permission_ceiling"},
                                            Field{"ceiling", name_of(non_promotion)},
                                            Field{"before", name_of(before)}};
                        },
                        {})) {
    return std::unexpected(std::move(*error));
  }

  // Token positions that the last two phases rest on, collected in one pass. A token counts as
  // expired when it is valid, carries this context's hash and its expiry has come: what the index
  // already knows as usable, plus the time.
  // The earliest expiry among them is kept, so that a live judgment notices evidence that runs
  // out after compilation.
  std::vector<std::uint32_t>& expired = index.scratch_positions(0);
  std::vector<std::uint32_t>& negative_controls = index.scratch_positions(1);
  const auto all_facts = index.facts();
  for (std::uint32_t position = 0; position < all_facts.size(); ++position) {
    const ContextIndex::TokenFacts& facts = all_facts[position];
    if (facts.kind == ContextIndex::TokenFacts::Kind::Usable && facts.expires) {
      if (now >= facts.expires_at) expired.push_back(position);
      if (!evidence_expiry.fired(facts.expires_at)) evidence_expiry = Expiry::at(facts.expires_at);
    }
    if (facts.negative_control) negative_controls.push_back(position);
  }

  if (!expired.empty()) {
    if (auto error = apply_ceiling(
            expiry_floor, kExpiredTokens, Phase::ExpiryBlocker, StepDetail::None,
            [&](Permission) {
              return std::array{Field{"phase", "expiry_blocker"},
                                Field{"expired_token_ids", quoted_ids(context, expired), true}};
            },
            expired)) {
      return std::unexpected(std::move(*error));
    }
  }

  if (!negative_controls.empty()) {
    events::emit(sink, kNegativeControls, [&] {
      return std::array{Field{"phase", "negative_control_registration"},
                        Field{"nc_token_count", std::to_string(negative_controls.size())}};
    });
    d.record(Phase::NegativeControlRegistration, StepDetail::None, negative_controls);
  }

  events::emit(sink, kComplete, [&] {
    return std::array{Field{"permission", name_of(d.current())}};
  });
  return finish();
}

}  // namespace

std::expected<CompiledJudgment, CoreError> compile_context(
    std::shared_ptr<const ProofContext> context, const PermissionChain& chain, const Clock& clock,
    events::Sink* sink) {
  return run_pipeline(std::move(context), chain, clock, sink, true);
}

std::expected<Permission, CoreError> compile_permission(
    const std::shared_ptr<const ProofContext>& context, const PermissionChain& chain,
    const Clock& clock, events::Sink* sink) {
  auto judgment = run_pipeline(context, chain, clock, sink, false);
  if (!judgment) return std::unexpected(std::move(judgment.error()));
  return judgment->permission;
}

}  // namespace oq
