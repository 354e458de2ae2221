#include "oq/token.h"

#include <cstring>
#include <new>
#include <stdexcept>

#include "oq/details.h"
#include "oq/digest.h"
#include "oq/panic.h"

namespace oq {

std::string_view token_status_name(TokenStatus status) {
  switch (status) {
    case TokenStatus::Valid:
      return "valid";
    case TokenStatus::Invalid:
      return "invalid";
    case TokenStatus::Expired:
      return "expired";
    case TokenStatus::Revoked:
      return "revoked";
    case TokenStatus::Malformed:
      return "malformed";
  }
  return "";
}

std::optional<TokenStatus> parse_token_status(std::string_view name) {
  for (const TokenStatus status : {TokenStatus::Valid, TokenStatus::Invalid, TokenStatus::Expired,
                                   TokenStatus::Revoked, TokenStatus::Malformed}) {
    if (name == token_status_name(status)) return status;
  }
  return std::nullopt;
}

namespace {

// An expiry below the representable range has long passed, so it becomes the earliest instant
// rather than no expiry at all; one above the range never comes.
std::optional<UtcTime> read_expiry(std::optional<double> expires_at) {
  if (!expires_at) return std::nullopt;
  const auto t = from_unix_seconds(*expires_at);
  if (t) return *t;
  if (t.error() == OutOfRange::Below) return earliest_utc();
  return std::nullopt;
}

}  // namespace

ProofToken::ProofToken(std::string token_id, std::string token_type, std::string schema_version,
                       std::vector<std::string> closes_gaps, std::vector<std::string> bounds_gaps,
                       std::string provenance_hash, std::string issuer,
                       const nlohmann::json& details, UtcTime issued_at,
                       std::optional<UtcTime> expires_at, bool is_negative_control,
                       TokenStatus status)
    : hot_{canonical_digest(provenance_hash),
           status,
           is_negative_control,
           expires_at.has_value(),
           expires_at.value_or(UtcTime{}),
           GapIdList(closes_gaps, bounds_gaps)},
      issued_at_(issued_at) {
  const std::string written = details.is_null() ? std::string() : dump_details(details);
  if (hot_.provenance_digest) provenance_hash.clear();
  const std::string_view texts[] = {token_id,        token_type, schema_version,
                                    provenance_hash, issuer,     written};
  std::size_t total = 0;
  for (const std::string_view text : texts) total += text.size();
  if (total > UINT32_MAX) throw std::length_error("a token's texts exceed 4 GiB");
  texts_ = std::make_unique_for_overwrite<char[]>(total);
  std::size_t at = 0;
  for (std::size_t i = 0; i < std::size(texts); ++i) {
    if (!texts[i].empty()) std::memcpy(texts_.get() + at, texts[i].data(), texts[i].size());
    at += texts[i].size();
    ends_[i] = static_cast<std::uint32_t>(at);
  }
}

ProofToken::ProofToken(const ProofToken& other)
    : hot_(other.hot_),
      texts_(std::make_unique_for_overwrite<char[]>(other.ends_.back())),
      ends_(other.ends_),
      issued_at_(other.issued_at_) {
  if (ends_.back() != 0) std::memcpy(texts_.get(), other.texts_.get(), ends_.back());
}

ProofToken& ProofToken::operator=(const ProofToken& other) {
  if (this != &other) *this = ProofToken(other);
  return *this;
}

std::string ProofToken::provenance_hash() const {
  return hot_.provenance_digest ? to_hex(*hot_.provenance_digest) : std::string(text(kProvenance));
}

bool ProofToken::same_provenance(const ProofToken& other) const {
  const auto& a = hot_.provenance_digest;
  const auto& b = other.hot_.provenance_digest;
  if (a.has_value() != b.has_value()) return false;
  return a ? *a == *b : text(kProvenance) == other.text(kProvenance);
}

nlohmann::json ProofToken::details() const {
  if (details_text().empty()) return nullptr;
  auto value = parse_details(details_text());
  if (!value) panic("a token's details no longer read back: " + value.error());
  return std::move(*value);
}

std::expected<ProofToken, InputError> ProofToken::create(RawProofToken raw) {
  nlohmann::json details;
  if (raw.details) {
    auto parsed = parse_details(*raw.details);
    if (!parsed) {
      // The status is read first, so an unknown one is the error even when details are bad too.
      if (!parse_token_status(raw.status))
        return std::unexpected(UnknownTokenStatus{std::move(raw.status)});
      return std::unexpected(InvalidDetails{std::move(parsed.error())});
    }
    details = std::move(*parsed);
  }
  return create(std::move(raw), std::move(details));
}

std::expected<ProofToken, InputError> ProofToken::create(RawProofToken raw,
                                                         nlohmann::json details) {
  const auto status = parse_token_status(raw.status);
  if (!status) return std::unexpected(UnknownTokenStatus{std::move(raw.status)});
  const UtcTime issued_at = from_unix_seconds_or_now(raw.issued_at);
  const std::optional<UtcTime> expires_at = read_expiry(raw.expires_at);
  return ProofToken(std::move(raw.token_id), std::move(raw.token_type),
                    std::move(raw.schema_version), std::move(raw.closes_gaps),
                    std::move(raw.bounds_gaps), std::move(raw.provenance_hash),
                    std::move(raw.issuer), std::move(details), issued_at, expires_at,
                    raw.is_negative_control, *status);
}

std::shared_ptr<const ProofToken> share(ProofToken token) {
  return std::make_shared<const ProofToken>(std::move(token));
}

bool provenance_matches(const ProofToken& token, const Sha256Digest& context_digest) {
  const auto& digest = token.provenance_digest();
  if (!digest) return false;
  // Word by word, every word compared, so that no byte decides when the comparison ends.
  std::uint64_t difference = 0;
  for (std::size_t i = 0; i < context_digest.size(); i += sizeof(std::uint64_t)) {
    std::uint64_t a;
    std::uint64_t b;
    std::memcpy(&a, digest->data() + i, sizeof a);
    std::memcpy(&b, context_digest.data() + i, sizeof b);
    difference |= a ^ b;
  }
  return difference == 0;
}

std::optional<Sha256Digest> canonical_digest(std::string_view hex) {
  if (hex.size() != 64) return std::nullopt;
  for (const char c : hex) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
  }
  return digest_from_hex(hex);
}

Sha256Digest provenance_digest(std::string_view claim_id, std::string_view candidate_id,
                               std::string_view context_id, std::string_view allowed_use) {
  const std::string_view parts[] = {claim_id, candidate_id, context_id, allowed_use};
  return sha256_joined(parts, '\0');
}

std::string provenance_hash(std::string_view claim_id, std::string_view candidate_id,
                            std::string_view context_id, std::string_view allowed_use) {
  return to_hex(provenance_digest(claim_id, candidate_id, context_id, allowed_use));
}

}  // namespace oq
