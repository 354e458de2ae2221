#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "chain_hash.h"
#include "context.h"
#include "permission.h"
#include "utc_time.h"

namespace oq {

// The pipeline phase that recorded a derivation step.
enum class Phase : std::uint8_t {
  MembershipCheck,
  ContextExpiry,
  DescendingSearch,
  StructuralBlockers,
  AuthorityCeiling,
  PermissionCeiling,
  ExpiryBlocker,
  NegativeControlRegistration,
};

// "membership_check", "descending_search", ...
std::string_view phase_name(Phase phase);

// One step of a derivation: which phase acted, the level after it, why, and the tokens it rests
// on (plus "any_of_arm:<label>" entries for the search).
struct DerivationStep {
  Phase phase;
  Permission permission_after;
  std::string note;
  std::vector<std::string> token_ids;
};

// Why a judgment reached its level, step by step.
struct Derivation {
  std::vector<DerivationStep> steps;
  std::string provenance_hash;
  UtcTime compiled_at;
};

// The result of one compilation. Immutable once built; shared between the objects that show it.
struct CompiledJudgment {
  std::shared_ptr<const ProofContext> context;
  Derivation derivation;
  Expiry expiry = Expiry::never();
  Permission permission;
  ChainHash chain_hash;
};

// "None", or "Some(<date>T<time>Z)" for a deadline.
std::string expiry_rendering(const Expiry& expiry);

// "Judgment(permission=..., expiry=..., chain_hash=...)", or with "LiveJudgment" as `class_name`.
std::string judgment_repr(std::string_view class_name, const CompiledJudgment& judgment);

// "Derivation(steps=N, provenance_hash=\"...\")".
std::string derivation_repr(const Derivation& derivation);

// "DerivationStep(phase=\"...\", permission_after=..., note=\"...\")".
std::string step_repr(const DerivationStep& step);

}  // namespace oq
