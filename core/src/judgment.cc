#include "judgment.h"

#include "quote.h"

namespace oq {

std::string_view phase_name(Phase phase) {
  switch (phase) {
    case Phase::MembershipCheck:
      return "membership_check";
    case Phase::ContextExpiry:
      return "context_expiry";
    case Phase::DescendingSearch:
      return "descending_search";
    case Phase::StructuralBlockers:
      return "structural_blockers";
    case Phase::AuthorityCeiling:
      return "authority_ceiling";
    case Phase::PermissionCeiling:
      return "permission_ceiling";
    case Phase::ExpiryBlocker:
      return "expiry_blocker";
    case Phase::NegativeControlRegistration:
      return "negative_control_registration";
  }
  return "";
}

std::string expiry_rendering(const Expiry& expiry) {
  if (!expiry.deadline()) return "None";
  return "Some(" + format_zulu(*expiry.deadline()) + ")";
}

std::string judgment_repr(std::string_view class_name, const CompiledJudgment& judgment) {
  std::string out(class_name);
  out += "(permission=";
  out += judgment.permission.name();
  out += ", expiry=";
  out += expiry_rendering(judgment.expiry);
  out += ", chain_hash=";
  out += judgment.chain_hash.to_hex();
  out += ')';
  return out;
}

std::string derivation_repr(const Derivation& derivation) {
  std::string out =
      "Derivation(steps=" + std::to_string(derivation.steps.size()) + ", provenance_hash=";
  append_quoted(out, derivation.provenance_hash);
  out += ')';
  return out;
}

std::string step_repr(const DerivationStep& step) {
  std::string out = "DerivationStep(phase=";
  append_quoted(out, phase_name(step.phase));
  out += ", permission_after=";
  out += step.permission_after.name();
  out += ", note=";
  append_quoted(out, step.note);
  out += ')';
  return out;
}

}  // namespace oq
