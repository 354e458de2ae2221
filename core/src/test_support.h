#pragma once

// Builders shared by the engine's unit tests.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "oq/compiler.h"
#include "oq/default_chain.h"

namespace oq {

inline constexpr std::int64_t kNow = 1'700'000'000;

inline UtcTime at(std::int64_t seconds) { return *from_unix_seconds(static_cast<double>(seconds)); }

// A request under construction, in-class and unexpired unless a test says otherwise.
struct Request {
  ProofContextFields f;
  Request() {
    f.claim_id = "claim";
    f.candidate_id = "cand";
    f.context_id = "ctx";
    f.context_fingerprint = "ctx";
    f.allowed_use = "use";
  }
  std::string hash() const {
    return provenance_hash(f.claim_id, f.candidate_id, f.context_id, f.allowed_use);
  }
  Request& gap(std::string id, GapStatus status = GapStatus::open()) {
    f.gaps.emplace_back(std::move(id), "t", status);
    return *this;
  }
  Request& profile(std::string_view level, std::vector<GapRequirement> required) {
    f.profiles.push_back(
        std::make_shared<const Profile>(Permission::named(level), std::move(required)));
    return *this;
  }
  struct TokenSpec {
    std::string id;
    std::vector<std::string> closes{};
    std::vector<std::string> bounds{};
    TokenStatus status = TokenStatus::Valid;
    std::optional<std::int64_t> expires{};
    bool negative_control = false;
    std::optional<std::string> provenance{};
  };
  Request& token(TokenSpec t) {
    std::optional<UtcTime> expires;
    if (t.expires) expires = at(*t.expires);
    f.tokens.push_back(share(ProofToken(t.id, "type", "1", t.closes, t.bounds,
                                        t.provenance.value_or(hash()), "issuer", nlohmann::json(),
                                        at(0), expires, t.negative_control, t.status)));
    return *this;
  }
  std::shared_ptr<const ProofContext> build() const {
    return std::make_shared<const ProofContext>(f);
  }
  std::expected<CompiledJudgment, CoreError> compile(
      const PermissionChain& chain = *default_chain()) const {
    const FixedClock clock(at(kNow));
    return compile_context(std::make_shared<const ProofContext>(f), chain, clock);
  }
};

inline GapRequirement need(std::string id, GapKind minimum = GapKind::Closed) {
  return GapRequirement::single(std::move(id), minimum);
}
inline GapRequirement any_of(std::vector<GapRequirement> arms) {
  std::vector<GapRequirement::Arm> shared;
  for (auto& arm : arms) shared.push_back(std::make_shared<const GapRequirement>(std::move(arm)));
  return GapRequirement::any_of(std::move(shared));
}

}  // namespace oq
