#include "oq/judgment.h"

#include "oq/quote.h"

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

std::string membership_rendering(const Membership& membership) {
  std::string out(membership_kind_name(membership.kind()));
  if (membership.kind() == Membership::Kind::OutOfClassOther) {
    out += '(';
    append_quoted(out, membership.reason());
    out += ')';
  }
  return out;
}

std::string search_note(std::span<const std::string> arm_labels, const DerivationStep& step) {
  switch (step.detail) {
    case StepDetail::NoProfiles:
      return "no profiles defined";
    case StepDetail::ProfileSatisfied: {
      std::string note = "profile satisfied at " + std::string(step.permission_after.name());
      if (step.label_count == 0) return note;
      note += " via any_of arm(s): ";
      for (std::uint32_t i = 0; i < step.label_count; ++i) {
        if (i != 0) note += ", ";
        note += arm_labels[step.first_label + i];
      }
      return note;
    }
    default:
      return "no profile satisfied";
  }
}

namespace {

std::string blocker_note(const CompiledJudgment& judgment, const DerivationStep& step) {
  switch (step.detail) {
    case StepDetail::ProvenanceMismatch:
      return "PROVENANCE_MISMATCH: token(s) with wrong provenance seen; Refused meet applied";
    case StepDetail::BothRejected:
      return "PROVENANCE_MISMATCH + DEAD_CREDENTIAL: rejected token(s) seen; Refused meet applied";
    case StepDetail::DeadCredential:
      return "DEAD_CREDENTIAL: token(s) with non-usable status seen; Refused meet applied";
    default: {
      std::string note = "disallowed_uses present (";
      const auto& uses = judgment.context->disallowed_uses();
      for (std::size_t i = 0; i < uses.size(); ++i) {
        if (i != 0) note += ", ";
        note += uses[i];
      }
      return note + "), ceiling at " + std::string(step.permission_after.name());
    }
  }
}

}  // namespace

std::string step_note(const CompiledJudgment& judgment, const DerivationStep& step) {
  switch (step.phase) {
    case Phase::MembershipCheck:
      return "out-of-class membership: " + membership_rendering(judgment.context->membership());
    case Phase::ContextExpiry:
      return "context expiry fired before token evaluation";
    case Phase::DescendingSearch:
      return search_note(judgment.derivation.arm_labels, step);
    case Phase::StructuralBlockers:
      return blocker_note(judgment, step);
    case Phase::AuthorityCeiling:
      return "authority ceiling is " + std::string(step.permission_after.name());
    case Phase::PermissionCeiling:
      return "non-promotion ceiling (T9) is " + std::string(step.permission_after.name());
    case Phase::ExpiryBlocker:
      return "at least one proof token has expired";
    case Phase::NegativeControlRegistration:
      return std::to_string(step.ref_count) +
             " negative-control token(s) registered; liveness checked at runtime";
  }
  return "";
}

std::vector<std::string> step_token_ids(const CompiledJudgment& judgment,
                                        const DerivationStep& step) {
  std::vector<std::string> ids;
  ids.reserve(step.ref_count + step.label_count);
  const auto& tokens = judgment.context->tokens();
  const auto& refs = judgment.derivation.token_refs;
  for (std::uint32_t i = 0; i < step.ref_count; ++i) {
    ids.emplace_back(tokens[refs[step.first_ref + i]]->token_id());
  }
  const auto& labels = judgment.derivation.arm_labels;
  for (std::uint32_t i = 0; i < step.label_count; ++i) {
    ids.push_back("any_of_arm:" + labels[step.first_label + i]);
  }
  return ids;
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

std::string derivation_repr(const CompiledJudgment& judgment) {
  std::string out =
      "Derivation(steps=" + std::to_string(judgment.derivation.steps.size()) + ", provenance_hash=";
  append_quoted(out, provenance_hash(judgment));
  out += ')';
  return out;
}

std::string step_repr(const CompiledJudgment& judgment, const DerivationStep& step) {
  std::string out = "DerivationStep(phase=";
  append_quoted(out, phase_name(step.phase));
  out += ", permission_after=";
  out += step.permission_after.name();
  out += ", note=";
  append_quoted(out, step_note(judgment, step));
  out += ')';
  return out;
}

}  // namespace oq
