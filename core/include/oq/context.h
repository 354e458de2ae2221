#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "oq/chain_hash.h"
#include "oq/gap.h"
#include "oq/permission.h"
#include "oq/token.h"
#include "oq/token_list.h"
#include "oq/utc_time.h"

namespace oq {

// The candidate's class membership. Only InClass counts as in class.
class Membership {
 public:
  enum class Kind : std::uint8_t {
    InClass,
    OutOfClassExact,
    OutOfClassAuthorizedDeterministicWrite,
    OutOfClassNoConsequentialUse,
    OutOfClassOther,
  };

  // A membership without a reason. Panics for OutOfClassOther, which needs one.
  static Membership of(Kind kind);
  // OutOfClassOther with `reason`.
  static Membership other(std::string reason) {
    return Membership(Kind::OutOfClassOther, std::move(reason));
  }

  Kind kind() const { return kind_; }
  // The reason; empty unless OutOfClassOther.
  const std::string& reason() const { return reason_; }
  bool is_in_class() const { return kind_ == Kind::InClass; }

  // Same kind and, for OutOfClassOther, byte-equal reasons.
  friend bool operator==(const Membership&, const Membership&) = default;

 private:
  Membership(Kind kind, std::string reason) : kind_(kind), reason_(std::move(reason)) {}

  Kind kind_;
  std::string reason_;
};

// The kind's name, e.g. "OutOfClassExact".
std::string_view membership_kind_name(Membership::Kind kind);

// "Membership(InClass)", or "Membership(OutOfClassOther(<quoted reason>))".
std::string membership_repr(const Membership& membership);

// What the request may touch; an empty list leaves that dimension unrestricted. Immutable.
class Scope {
 public:
  Scope() = default;
  Scope(std::vector<std::string> allowed_candidates, std::vector<std::string> allowed_paths,
        std::vector<std::string> allowed_tools, std::vector<std::string> allowed_resources)
      : allowed_candidates_(std::move(allowed_candidates)),
        allowed_paths_(std::move(allowed_paths)),
        allowed_tools_(std::move(allowed_tools)),
        allowed_resources_(std::move(allowed_resources)) {}

  const std::vector<std::string>& allowed_candidates() const { return allowed_candidates_; }
  const std::vector<std::string>& allowed_paths() const { return allowed_paths_; }
  const std::vector<std::string>& allowed_tools() const { return allowed_tools_; }
  const std::vector<std::string>& allowed_resources() const { return allowed_resources_; }

  // All four lists pairwise byte-equal, in order.
  friend bool operator==(const Scope&, const Scope&) = default;

 private:
  std::vector<std::string> allowed_candidates_;
  std::vector<std::string> allowed_paths_;
  std::vector<std::string> allowed_tools_;
  std::vector<std::string> allowed_resources_;
};

// "Scope(candidates=[...], paths=[...], tools=[...], resources=[...])" with quoted elements.
std::string scope_repr(const Scope& scope);

// An optional deadline. Immutable.
class Expiry {
 public:
  static Expiry never() { return Expiry(std::nullopt); }
  static Expiry at(UtcTime deadline) { return Expiry(deadline); }

  const std::optional<UtcTime>& deadline() const { return deadline_; }
  // Whether there is a deadline and `now` is at or after it.
  bool fired(UtcTime now) const { return deadline_ && now >= *deadline_; }

 private:
  explicit Expiry(std::optional<UtcTime> deadline) : deadline_(deadline) {}

  std::optional<UtcTime> deadline_;
};

// "Expiry(never)" or "Expiry(deadline=<RFC 3339 time>)".
std::string expiry_repr(const Expiry& expiry);

// Every field of a request, in record order, for building a ProofContext.
struct ProofContextFields {
  std::string claim_id{};
  std::string candidate_id{};
  std::string context_id{};
  // Compared with the runtime's fingerprint; callers that have none pass context_id.
  std::string context_fingerprint{};
  std::string allowed_use{};
  std::vector<std::string> disallowed_uses{};
  Scope scope{};
  std::vector<GapRecord> gaps{};
  std::vector<std::shared_ptr<const Profile>> profiles{};
  TokenList tokens{};
  Expiry expiry = Expiry::never();
  Membership membership = Membership::of(Membership::Kind::InClass);
  std::optional<Permission> authority_ceiling{};
  std::optional<Permission> permission_ceiling{};
  std::optional<ChainHash> expected_chain_hash{};
};

// The complete request a compilation judges. Immutable; profiles and tokens are shared immutable
// records, so copying a context never copies them.
class ProofContext {
 public:
  // Panics when a profile or token is null.
  explicit ProofContext(ProofContextFields fields);
  // A shared context whose ids are those of `like`, reusing its provenance hash instead of hashing
  // again; the fields are moved once, into the shared record. Panics when the ids differ.
  static std::shared_ptr<const ProofContext> shared_with_identity_of(ProofContextFields&& fields,
                                                                     const ProofContext& like);

  const std::string& claim_id() const { return f_.claim_id; }
  const std::string& candidate_id() const { return f_.candidate_id; }
  const std::string& context_id() const { return f_.context_id; }
  const std::string& context_fingerprint() const { return f_.context_fingerprint; }
  const std::string& allowed_use() const { return f_.allowed_use; }
  const std::vector<std::string>& disallowed_uses() const { return f_.disallowed_uses; }
  const Scope& scope() const { return f_.scope; }
  std::span<const GapRecord> gaps() const { return f_.gaps; }
  std::span<const std::shared_ptr<const Profile>> profiles() const { return f_.profiles; }
  const TokenList& tokens() const { return f_.tokens; }
  const Expiry& expiry() const { return f_.expiry; }
  const Membership& membership() const { return f_.membership; }
  const std::optional<Permission>& authority_ceiling() const { return f_.authority_ceiling; }
  const std::optional<Permission>& permission_ceiling() const { return f_.permission_ceiling; }
  const std::optional<ChainHash>& expected_chain_hash() const { return f_.expected_chain_hash; }
  // All fields, for building a changed copy.
  const ProofContextFields& fields() const { return f_; }

  // The provenance hash of the claim, candidate, context id (not the fingerprint) and use,
  // computed once when the record is built and kept as its digest; rendered in hex when asked.
  std::string provenance_hash() const;
  const Sha256Digest& provenance_digest() const { return provenance_digest_; }

 private:
  // What only the class itself can make: the digest a context built by it already has.
  class Digested {
    friend class ProofContext;
    explicit Digested(const Sha256Digest& known) : digest(known) {}

   public:
    const Sha256Digest& digest;
  };

 public:
  // For make_shared, on behalf of the class itself: a context whose digest is already known.
  ProofContext(ProofContextFields&& fields, Digested known);

 private:
  ProofContextFields f_;
  Sha256Digest provenance_digest_;
};

// "ProofContext(claim_id=..., candidate_id=..., allowed_use=...)", strings unquoted.
std::string context_repr(const ProofContext& context);

}  // namespace oq
