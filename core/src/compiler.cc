#include "compiler.h"

#include <array>
#include <unordered_set>

#include "panic.h"
#include "profile_search.h"
#include "quote.h"

namespace oq {

namespace {

using events::Field;
using events::Level;

constexpr events::Site kCompileSpan{kCompilerTarget, Level::Info, "quorvane.compile", kCompilerFile,
                                    0};
constexpr events::Site kOutOfClass{kCompilerTarget, Level::Debug,
                                   "out-of-class membership: emitting Bottom", kCompilerFile, 217};
constexpr events::Site kContextExpired{kCompilerTarget, Level::Warn,
                                       "context expiry has already fired; emitting ExpiryFloor",
                                       kCompilerFile, 242};
constexpr events::Site kBlockers{kCompilerTarget, Level::Warn,
                                 "structural blocker(s) detected; meeting outcome with Refused",
                                 kCompilerFile, 369};
constexpr events::Site kDisallowed{kCompilerTarget, Level::Warn,
                                   "disallowed_uses present; meeting with ceiling", kCompilerFile,
                                   391};
constexpr events::Site kAuthority{kCompilerTarget, Level::Warn,
                                  "authority ceiling lowered permission", kCompilerFile, 415};
constexpr events::Site kNonPromotion{kCompilerTarget, Level::Warn,
                                     "non-promotion ceiling (T9) lowered permission", kCompilerFile,
                                     434};
constexpr events::Site kExpiredTokens{kCompilerTarget, Level::Warn,
                                      "expired proof token(s); meeting outcome with ExpiryFloor",
                                      kCompilerFile, 470};
constexpr events::Site kNegativeControls{
    kCompilerTarget, Level::Debug,
    "negative-control tokens registered for runtime liveness check (T17)", kCompilerFile, 493};
constexpr events::Site kComplete{kCompilerTarget, Level::Debug, "compilation complete",
                                 kCompilerFile, 509};

std::string name_of(Permission level) { return std::string(level.name()); }

MalformedContext malformed(std::string detail) { return MalformedContext{std::move(detail)}; }

// Checks that `requirement` and every arm below it name known gaps and that no disjunction is
// empty, in the order a left-to-right walk meets them. Iterative, and each shared arm is checked
// once, so neither depth nor sharing costs more than the number of distinct requirements.
std::optional<CoreError> check_requirement(const GapRequirement& requirement,
                                           std::string_view level, const ContextIndex& index,
                                           std::unordered_set<const GapRequirement*>& checked) {
  std::vector<const GapRequirement*> pending{&requirement};
  while (!pending.empty()) {
    const GapRequirement* node = pending.back();
    pending.pop_back();
    if (!node->is_any_of()) {
      if (!index.gap(node->gap_id())) {
        return malformed("profile for " + std::string(level) + " references unknown gap_id '" +
                         node->gap_id() + "'");
      }
      continue;
    }
    if (!checked.insert(node).second) continue;
    if (node->arms().empty()) {
      return malformed("profile for " + std::string(level) + ": any_of requirement has zero arms");
    }
    const auto arms = node->arms();
    for (std::size_t i = arms.size(); i-- > 0;) pending.push_back(arms[i].get());
  }
  return std::nullopt;
}

// The validation checks in their fixed order; on success `index` holds the gaps and profiles.
std::optional<CoreError> validate(const ProofContext& context, const PermissionChain& chain,
                                  ContextIndex& index) {
  if (context.allowed_use().empty()) return malformed("allowed_use must not be empty");
  if (const auto& expected = context.expected_chain_hash();
      expected && !(*expected == chain.hash())) {
    return malformed("expected_chain_hash " + expected->to_hex() +
                     " does not match supplied chain " + chain.hash().to_hex());
  }
  std::string_view duplicate;
  if (!index.add_gaps(context.gaps(), duplicate)) {
    return malformed("duplicate gap_id '" + std::string(duplicate) + "'");
  }
  std::unordered_set<const GapRequirement*> checked;
  for (const auto& profile : context.profiles()) {
    const std::string_view level = profile->permission().name();
    if (!chain.contains(level)) {
      return malformed("profile permission '" + std::string(level) + "' not in supplied chain");
    }
    for (const GapRequirement& requirement : profile->required_gaps()) {
      if (auto error = check_requirement(requirement, level, index, checked)) return error;
    }
  }
  for (const auto& profile : context.profiles()) {
    if (!index.add_profile(*profile)) {
      return malformed("duplicate profile for permission level " + name_of(profile->permission()));
    }
  }
  if (const auto& ceiling = context.authority_ceiling();
      ceiling && !chain.contains(ceiling->name())) {
    return malformed("authority_ceiling '" + name_of(*ceiling) + "' not in supplied chain");
  }
  if (const auto& ceiling = context.permission_ceiling();
      ceiling && !chain.contains(ceiling->name())) {
    return malformed("permission_ceiling '" + name_of(*ceiling) + "' not in supplied chain");
  }
  return std::nullopt;
}

std::uint8_t rank_in(const PermissionChain& chain, Permission level, const char* what) {
  const auto rank = chain.rank(level);
  if (!rank) panic(what);
  return *rank;
}

std::string quoted_list(const std::vector<std::string_view>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i != 0) out += ", ";
    append_quoted(out, items[i]);
  }
  out += ']';
  return out;
}

std::string membership_rendering(const Membership& membership) {
  std::string out(membership_kind_name(membership.kind()));
  if (membership.kind() == Membership::Kind::OutOfClassOther) {
    out += '(';
    append_quoted(out, membership.reason());
    out += ')';
  }
  return out;
}

// The permission in force and the steps recorded so far.
class Derivator {
 public:
  Derivator(const PermissionChain& chain, Permission start) : chain_(chain), current_(start) {}

  Permission current() const { return current_; }
  // Lowers the level to meet(current, ceiling); whether that lowered it. Fails for a foreign level.
  std::expected<bool, CoreError> lower_to(Permission ceiling, Permission& before) {
    const auto met = chain_.meet(current_, ceiling);
    if (!met) return std::unexpected(chain_failure(met.error()));
    before = current_;
    if (!(rank_in(chain_, *met, "outcome must be in chain") <
          rank_in(chain_, current_, "outcome must be in chain"))) {
      return false;
    }
    current_ = *met;
    return true;
  }
  void set(Permission level) { current_ = level; }
  void record(Phase phase, std::string note, std::vector<std::string> token_ids = {}) {
    steps_.push_back({phase, current_, std::move(note), std::move(token_ids)});
  }
  void record(DerivationStep step) { steps_.push_back(std::move(step)); }
  std::vector<DerivationStep> take_steps() { return std::move(steps_); }

 private:
  const PermissionChain& chain_;
  Permission current_;
  std::vector<DerivationStep> steps_;
};

}  // namespace

std::expected<CompiledJudgment, CoreError> compile_context(
    std::shared_ptr<const ProofContext> context_ref, const PermissionChain& chain,
    const Clock& clock) {
  const ProofContext& context = *context_ref;
  const events::Span span(kCompileSpan, [&] {
    return std::array{
        Field{"claim_id", context.claim_id()}, Field{"candidate_id", context.candidate_id()},
        Field{"context_id", context.context_id()}, Field{"allowed_use", context.allowed_use()},
        Field{"chain_hash", chain.hash().to_hex()}};
  });

  ContextIndex index;
  if (auto error = validate(context, chain, index)) return std::unexpected(std::move(*error));

  const UtcTime compiled_at = clock.now();
  const std::string& provenance = context.provenance_hash();
  const Permission bottom = chain.role(ChainRole::Bottom);
  const Permission expiry_floor = chain.role(ChainRole::ExpiryFloor);
  const Permission refused = chain.role(ChainRole::Refused);
  const Permission unsatisfied = chain.role(ChainRole::Unsatisfied);
  const Permission threshold = chain.role(ChainRole::BlockerThreshold);
  const Permission top = chain.role(ChainRole::Top);

  Derivator d(chain, bottom);
  const auto finish = [&]() -> CompiledJudgment {
    return CompiledJudgment{context_ref, Derivation{d.take_steps(), provenance, compiled_at},
                            context.expiry(), d.current(), chain.hash()};
  };

  if (!context.membership().is_in_class()) {
    const std::string membership = membership_rendering(context.membership());
    events::emit(kOutOfClass, [&] {
      return std::array{Field{"phase", "membership_check"}, Field{"membership", membership},
                        Field{"permission", name_of(bottom)}};
    });
    d.record(Phase::MembershipCheck, "out-of-class membership: " + membership);
    return finish();
  }

  const UtcTime now = clock.now();
  if (context.expiry().fired(now)) {
    events::emit(kContextExpired, [] { return std::array{Field{"phase", "context_expiry"}}; });
    d.set(expiry_floor);
    d.record(Phase::ContextExpiry, "context expiry fired before token evaluation");
    return finish();
  }

  index.add_tokens(context.tokens());
  SearchOutcome search = descending_search(index, chain, bottom, unsatisfied, provenance, clock);
  d.set(search.step.permission_after);
  d.record(std::move(search.step));

  const ScreeningFlags flags = search.flags;
  if ((flags.provenance_mismatch || flags.dead_credential) &&
      rank_in(chain, d.current(), "outcome must be in chain") <
          rank_in(chain, threshold, "threshold must be in chain")) {
    events::emit(kBlockers, [&] {
      return std::array{Field{"phase", "structural_blockers"},
                        Field{"provenance_mismatch", flags.provenance_mismatch ? "true" : "false"},
                        Field{"dead_credential", flags.dead_credential ? "true" : "false"}};
    });
    Permission before;
    if (auto lowered = d.lower_to(refused, before); !lowered) {
      return std::unexpected(std::move(lowered.error()));
    }
    const char* note =
        !flags.dead_credential
            ? "PROVENANCE_MISMATCH: token(s) with wrong provenance seen; Refused meet applied"
        : flags.provenance_mismatch
            ? "PROVENANCE_MISMATCH + DEAD_CREDENTIAL: rejected token(s) seen; Refused meet applied"
            : "DEAD_CREDENTIAL: token(s) with non-usable status seen; Refused meet applied";
    d.record(Phase::StructuralBlockers, note);
  }

  // Each ceiling lowers the level when it lies below it and records why.
  const auto no_ids = [] { return std::vector<std::string>(); };
  const auto apply_ceiling = [&](Permission ceiling, const events::Site& site, Phase phase,
                                 auto&& fields, auto&& note,
                                 auto&& token_ids) -> std::optional<CoreError> {
    Permission before;
    auto lowered = d.lower_to(ceiling, before);
    if (!lowered) return std::move(lowered.error());
    if (!*lowered) return std::nullopt;
    events::emit(site, [&] { return fields(before); });
    d.record(phase, note(), token_ids());
    return std::nullopt;
  };

  if (const auto& uses = context.disallowed_uses(); !uses.empty()) {
    const Permission ceiling = chain.role(ChainRole::DisallowedUsesCeiling);
    auto error = apply_ceiling(
        ceiling, kDisallowed, Phase::StructuralBlockers,
        [&](Permission before) {
          return std::array{Field{"phase", "structural_blockers"}, Field{"before", name_of(before)},
                            Field{"after", name_of(d.current())}};
        },
        [&] {
          std::string note = "disallowed_uses present (";
          for (std::size_t i = 0; i < uses.size(); ++i) {
            if (i != 0) note += ", ";
            note += uses[i];
          }
          return note + "), ceiling at " + name_of(ceiling);
        },
        no_ids);
    if (error) return std::unexpected(std::move(*error));
  }

  const Permission authority = context.authority_ceiling().value_or(top);
  if (auto error = apply_ceiling(
          authority, kAuthority, Phase::AuthorityCeiling,
          [&](Permission before) {
            return std::array{Field{"phase", "authority_ceiling"},
                              Field{"ceiling", name_of(authority)},
                              Field{"before", name_of(before)}};
          },
          [&] { return "authority ceiling is " + name_of(authority); }, no_ids)) {
    return std::unexpected(std::move(*error));
  }

  const Permission non_promotion = context.permission_ceiling().value_or(top);
  if (auto error = apply_ceiling(
          non_promotion, kNonPromotion, Phase::PermissionCeiling,
          [&](Permission before) {
            return std::array{Field{"phase", "permission_ceiling"},
                              Field{"ceiling", name_of(non_promotion)},
                              Field{"before", name_of(before)}};
          },
          [&] { return "non-promotion ceiling (T9) is " + name_of(non_promotion); }, no_ids)) {
    return std::unexpected(std::move(*error));
  }

  std::vector<std::string_view> expired;
  std::vector<std::string_view> negative_controls;
  for (const auto& token : context.tokens()) {
    if (token->status() == TokenStatus::Valid && token->expires_at() &&
        now >= *token->expires_at() && provenance_matches(token->provenance_hash(), provenance)) {
      expired.push_back(token->token_id());
    }
    if (token->is_negative_control()) negative_controls.push_back(token->token_id());
  }
  const auto to_strings = [](const std::vector<std::string_view>& ids) {
    return std::vector<std::string>(ids.begin(), ids.end());
  };

  if (!expired.empty()) {
    if (auto error = apply_ceiling(
            expiry_floor, kExpiredTokens, Phase::ExpiryBlocker,
            [&](Permission) {
              return std::array{Field{"phase", "expiry_blocker"},
                                Field{"expired_token_ids", quoted_list(expired)}};
            },
            [] { return std::string("at least one proof token has expired"); },
            [&] { return to_strings(expired); })) {
      return std::unexpected(std::move(*error));
    }
  }

  if (!negative_controls.empty()) {
    events::emit(kNegativeControls, [&] {
      return std::array{Field{"phase", "negative_control_registration"},
                        Field{"nc_token_count", std::to_string(negative_controls.size())}};
    });
    d.record(Phase::NegativeControlRegistration,
             std::to_string(negative_controls.size()) +
                 " negative-control token(s) registered; liveness checked at runtime",
             to_strings(negative_controls));
  }

  events::emit(kComplete, [&] { return std::array{Field{"permission", name_of(d.current())}}; });
  return finish();
}

}  // namespace oq
