#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "oq/digest.h"
#include "oq/gap_id_list.h"
#include "oq/input_error.h"
#include "oq/utc_time.h"

namespace oq {

// A token's lifecycle status; only valid tokens count as evidence.
enum class TokenStatus : std::uint8_t { Valid, Invalid, Expired, Revoked, Malformed };

// "valid", "invalid", "expired", "revoked" or "malformed".
std::string_view token_status_name(TokenStatus status);

// The status named exactly `name`, if any.
std::optional<TokenStatus> parse_token_status(std::string_view name);

// The digest `hex` spells when it is exactly 64 lower-case hex digits.
std::optional<Sha256Digest> canonical_digest(std::string_view hex);

// A token's inputs as the caller gave them, before the status, times and details are read.
struct RawProofToken {
  std::string token_id{};
  std::string token_type{};
  std::string schema_version{};
  std::string status{};
  std::vector<std::string> closes_gaps{};
  std::vector<std::string> bounds_gaps{};
  std::string provenance_hash{};
  double issued_at = 0;
  std::string issuer{};
  std::optional<double> expires_at{};
  std::optional<std::string> details{};
  bool is_negative_control = false;
};

// A credential presented for a claim, bound to one context tuple by its provenance hash.
// Immutable.
class ProofToken {
 public:
  // Reads the status, then the times (an out-of-range issue time becomes now; an expiry above
  // the range becomes none and one below it the earliest instant), then the details text.
  static std::expected<ProofToken, InputError> create(RawProofToken raw);
  // As above, with the details already read as a value (null for none); `raw.details` is unused.
  static std::expected<ProofToken, InputError> create(RawProofToken raw, nlohmann::json details);

  // A token from fields already read; `details` is null when there are none.
  ProofToken(std::string token_id, std::string token_type, std::string schema_version,
             std::vector<std::string> closes_gaps, std::vector<std::string> bounds_gaps,
             std::string provenance_hash, std::string issuer, const nlohmann::json& details,
             UtcTime issued_at, std::optional<UtcTime> expires_at, bool is_negative_control,
             TokenStatus status);

  // A copy holds its own texts; records are shared rather than copied (`share`).
  ProofToken(const ProofToken& other);
  ProofToken& operator=(const ProofToken& other);
  ProofToken(ProofToken&&) noexcept = default;
  ProofToken& operator=(ProofToken&&) noexcept = default;
  ~ProofToken() = default;

  // What compilation reads of every token, together at the start of the record: 104 bytes, so
  // that indexing a context of many tokens fetches the two or three lines they span rather than
  // the whole record.
  struct Hot {
    // The 32 bytes the provenance hash spells when it is 64 lower-case hex digits, the only form
    // a context's own hash takes; absent for any other text, which therefore matches no context.
    std::optional<Sha256Digest> provenance_digest;
    TokenStatus status;
    bool is_negative_control;
    bool expires;
    UtcTime expires_at;  // meaningful when `expires`
    GapIdList gap_ids;
  };
  static constexpr std::size_t kHotBytes = 104;
  const Hot& hot() const { return hot_; }

  std::string_view token_id() const { return text(kTokenId); }
  std::string_view token_type() const { return text(kTokenType); }
  std::string_view schema_version() const { return text(kSchemaVersion); }
  // The gap ids the token closes, in the order given.
  GapIdList::Range closes_gaps() const { return hot_.gap_ids.closes(); }
  // The gap ids the token bounds, in the order given.
  GapIdList::Range bounds_gaps() const { return hot_.gap_ids.bounds(); }
  // The context the caller claims the token belongs to, as given; not checked here. A hash of
  // 64 lower-case hex digits is kept as its digest alone, and written out again when asked for.
  std::string provenance_hash() const;
  const std::optional<Sha256Digest>& provenance_digest() const { return hot_.provenance_digest; }
  // Whether the two tokens' provenance hashes are the same text.
  bool same_provenance(const ProofToken& other) const;
  std::string_view issuer() const { return text(kIssuer); }
  // The details in their compact form (keys in ascending byte order, as dump_details writes
  // them), or empty when the token has none: one string, however deep the value.
  std::string_view details_text() const { return text(kDetails); }
  // The details as a JSON value, read again from their text; JSON null when there are none.
  nlohmann::json details() const;
  UtcTime issued_at() const { return issued_at_; }
  std::optional<UtcTime> expires_at() const {
    return hot_.expires ? std::optional(hot_.expires_at) : std::nullopt;
  }
  bool is_negative_control() const { return hot_.is_negative_control; }
  TokenStatus status() const { return hot_.status; }

  // The same token: byte-equal ids and provenance hashes; every other field is ignored.
  friend bool operator==(const ProofToken& a, const ProofToken& b) {
    return a.token_id() == b.token_id() && a.same_provenance(b);
  }

 private:
  friend struct TokenLayout;
  Hot hot_;
  // The rest is read for display, composition and the runtime.
  // The texts, one after another in one block: the id, the type, the schema version, the
  // provenance hash's text when it is not a digest's (empty when `hot_` holds the digest), the
  // issuer and the details. `ends_[i]` is where text i ends.
  enum Text : std::uint8_t { kTokenId, kTokenType, kSchemaVersion, kProvenance, kIssuer, kDetails };
  std::string_view text(Text which) const {
    const std::uint32_t begin = which == kTokenId ? 0 : ends_[which - 1];
    return {texts_.get() + begin, ends_[which] - begin};
  }
  std::unique_ptr<char[]> texts_;
  std::array<std::uint32_t, 6> ends_{};
  UtcTime issued_at_;
};

// Where the hot block lies in a token: first, and no larger than said.
struct TokenLayout {
  static_assert(offsetof(ProofToken, hot_) == 0);
  static_assert(sizeof(ProofToken::Hot) == ProofToken::kHotBytes);
};

// `token`, shared, in one allocation with its count. (Placing records on cache-line boundaries
// measured no faster and cost a third of the memory a large request takes to read.)
std::shared_ptr<const ProofToken> share(ProofToken token);

// Whether `token` carries the context hash that `context_digest` spells: all 32 bytes compared
// with no early exit, so the time taken does not reveal where two hashes differ.
bool provenance_matches(const ProofToken& token, const Sha256Digest& context_digest);

// SHA-256 over the four fields joined by single 0x00 bytes.
Sha256Digest provenance_digest(std::string_view claim_id, std::string_view candidate_id,
                               std::string_view context_id, std::string_view allowed_use);

// 64 lower-case hex digits of SHA-256 over the four fields joined by single 0x00 bytes.
std::string provenance_hash(std::string_view claim_id, std::string_view candidate_id,
                            std::string_view context_id, std::string_view allowed_use);

}  // namespace oq
