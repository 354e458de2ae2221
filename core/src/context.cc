#include "oq/context.h"

#include "oq/panic.h"
#include "oq/quote.h"

namespace oq {

Membership Membership::of(Kind kind) {
  if (kind == Kind::OutOfClassOther) panic("OutOfClassOther membership needs a reason");
  return Membership(kind, std::string());
}

std::string_view membership_kind_name(Membership::Kind kind) {
  switch (kind) {
    case Membership::Kind::InClass:
      return "InClass";
    case Membership::Kind::OutOfClassExact:
      return "OutOfClassExact";
    case Membership::Kind::OutOfClassAuthorizedDeterministicWrite:
      return "OutOfClassAuthorizedDeterministicWrite";
    case Membership::Kind::OutOfClassNoConsequentialUse:
      return "OutOfClassNoConsequentialUse";
    case Membership::Kind::OutOfClassOther:
      return "OutOfClassOther";
  }
  return "";
}

std::string membership_repr(const Membership& membership) {
  std::string out = "Membership(";
  out += membership_kind_name(membership.kind());
  if (membership.kind() == Membership::Kind::OutOfClassOther) {
    out += '(';
    append_quoted(out, membership.reason());
    out += ')';
  }
  out += ')';
  return out;
}

namespace {

void append_list(std::string& out, std::string_view label, const std::vector<std::string>& list) {
  out += label;
  out += '[';
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i != 0) out += ", ";
    append_quoted(out, list[i]);
  }
  out += ']';
}

}  // namespace

std::string scope_repr(const Scope& scope) {
  std::string out = "Scope(";
  append_list(out, "candidates=", scope.allowed_candidates());
  append_list(out, ", paths=", scope.allowed_paths());
  append_list(out, ", tools=", scope.allowed_tools());
  append_list(out, ", resources=", scope.allowed_resources());
  out += ')';
  return out;
}

std::string expiry_repr(const Expiry& expiry) {
  if (!expiry.deadline()) return "Expiry(never)";
  return "Expiry(deadline=" + format_rfc3339(*expiry.deadline()) + ")";
}

namespace {

void check_records(const ProofContextFields& f) {
  for (const auto& profile : f.profiles) {
    if (!profile) panic("proof context profile must not be null");
  }
  for (const auto* token : f.tokens) {
    if (!token) panic("proof context token must not be null");
  }
}

}  // namespace

ProofContext::ProofContext(ProofContextFields fields)
    : f_(std::move(fields)),
      provenance_digest_(
          oq::provenance_digest(f_.claim_id, f_.candidate_id, f_.context_id, f_.allowed_use)) {
  check_records(f_);
}

ProofContext::ProofContext(ProofContextFields&& fields, Digested known)
    : f_(std::move(fields)), provenance_digest_(known.digest) {
  check_records(f_);
}

std::string ProofContext::provenance_hash() const { return to_hex(provenance_digest_); }

std::shared_ptr<const ProofContext> ProofContext::shared_with_identity_of(
    ProofContextFields&& fields, const ProofContext& like) {
  if (fields.claim_id != like.claim_id() || fields.candidate_id != like.candidate_id() ||
      fields.context_id != like.context_id() || fields.allowed_use != like.allowed_use()) {
    panic("a context built with another's identity must carry the same ids");
  }
  return std::make_shared<const ProofContext>(std::move(fields),
                                              Digested{like.provenance_digest()});
}

std::string context_repr(const ProofContext& context) {
  return "ProofContext(claim_id=" + context.claim_id() +
         ", candidate_id=" + context.candidate_id() + ", allowed_use=" + context.allowed_use() +
         ")";
}

}  // namespace oq
