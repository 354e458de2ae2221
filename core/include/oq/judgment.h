#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "oq/chain_hash.h"
#include "oq/context.h"
#include "oq/permission.h"
#include "oq/utc_time.h"

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

// What a step's note says beyond its phase.
enum class StepDetail : std::uint8_t {
  None,
  NoProfiles,          // search: the context has no profiles
  NoProfileSatisfied,  // search: every profile failed
  ProfileSatisfied,    // search: the profile of the level reached held
  ProvenanceMismatch,  // structural blockers, by the flags seen
  DeadCredential,
  BothRejected,
  DisallowedUses,  // structural blockers: the disallowed-uses ceiling lowered the level
};

// One step of a derivation, held compactly: its note and token ids are rendered on demand from
// the judgment's context, so a judgment costs little to keep.
struct DerivationStep {
  Phase phase;
  StepDetail detail = StepDetail::None;
  // Also the level a note names: a satisfied profile's, or the ceiling that lowered the level.
  Permission permission_after{};
  // The step's tokens: positions in the context's token list, kept in Derivation::token_refs.
  std::uint32_t first_ref = 0;
  std::uint32_t ref_count = 0;
  // The search's arm labels, kept in Derivation::arm_labels.
  std::uint32_t first_label = 0;
  std::uint32_t label_count = 0;
};

// Why a judgment reached its level, step by step.
struct Derivation {
  std::vector<DerivationStep> steps;
  std::vector<std::uint32_t> token_refs;
  std::vector<std::string> arm_labels;
  UtcTime compiled_at;
};

// The result of one compilation. Immutable once built; shared between the objects that show it.
struct CompiledJudgment {
  std::shared_ptr<const ProofContext> context;
  Derivation derivation;
  Expiry expiry = Expiry::never();
  Permission permission;
  ChainHash chain_hash;
  // The earliest expiry among the tokens compilation counted as evidence that can expire (valid,
  // with this context's provenance hash and an expiry); never when compilation ended before
  // reading the tokens. From then on the judgment rests on evidence that has run out.
  Expiry evidence_expiry = Expiry::never();
};

// The provenance hash of the compiled context, which the derivation records.
inline std::string provenance_hash(const CompiledJudgment& judgment) {
  return judgment.context->provenance_hash();
}

// The human-readable explanation of step `step`.
std::string step_note(const CompiledJudgment& judgment, const DerivationStep& step);

// The note of a "descending_search" step whose arm labels are kept in `arm_labels`.
std::string search_note(std::span<const std::string> arm_labels, const DerivationStep& step);

// The ids of the tokens step `step` rests on, then "any_of_arm:<label>" for each arm label.
std::vector<std::string> step_token_ids(const CompiledJudgment& judgment,
                                        const DerivationStep& step);

// How a membership appears in notes: the kind's name, with a quoted reason for OutOfClassOther.
std::string membership_rendering(const Membership& membership);

// "None", or "Some(<date>T<time>Z)" for a deadline.
std::string expiry_rendering(const Expiry& expiry);

// "Judgment(permission=..., expiry=..., chain_hash=...)", or with "LiveJudgment" as `class_name`.
std::string judgment_repr(std::string_view class_name, const CompiledJudgment& judgment);

// "Derivation(steps=N, provenance_hash=\"...\")".
std::string derivation_repr(const CompiledJudgment& judgment);

// "DerivationStep(phase=\"...\", permission_after=..., note=\"...\")".
std::string step_repr(const CompiledJudgment& judgment, const DerivationStep& step);

}  // namespace oq
