#include "oq/decision.h"

#include <gtest/gtest.h>

#include <string>

#include "oq/canonical_json.h"
#include "oq/default_chain.h"
#include "oq/request_reader.h"
#include "test_support.h"

namespace oq {
namespace {

// A request whose only token closes its only gap: ALR under the default chain.
std::string request(std::string_view extra = "") {
  const std::string hash = provenance_hash("c", "a", "x", "use");
  return R"({"claim_id": "c", "candidate_id": "a", "context_id": "x", "allowed_use": "use",)"
         R"( "membership": "InClass", "authority_ceiling": "AAA", "expiry": "never",)"
         R"( "gaps": [{"gap_id": "g", "gap_type": "t"}],)"
         R"( "profiles": [{"permission": "ALR", "required_gaps": [{"gap_id": "g",)"
         R"( "minimum_status": "closed"}]}],)"
         R"( "tokens": [{"token_id": "t", "token_type": "k", "schema_version": "1",)"
         R"( "status": "valid", "closes_gaps": ["g"], "bounds_gaps": [], "provenance_hash": ")" +
         hash +
         R"(", "issued_at": 0, "issuer": "i"}, {"token_id": "nc", "token_type": "k",)"
         R"( "schema_version": "1", "status": "valid", "closes_gaps": [], "bounds_gaps": [],)"
         R"( "provenance_hash": ")" +
         hash + R"(", "issued_at": 0, "issuer": "i", "is_negative_control": true}])" +
         std::string(extra) + "}";
}

const std::string kChain =
    R"({"levels": ["LOW", "MID", "HIGH", "ALR", "AAA"], "roles": {"Bottom": 0, "ExpiryFloor": 0,)"
    R"( "Refused": 0, "Unsatisfied": 1, "DisallowedUsesCeiling": 2, "BlockerThreshold": 2,)"
    R"( "Top": 4}})";

struct Decided {
  std::expected<Decision, DecisionFault> result;
  std::string record_field(std::string_view name) const {
    const std::string key = "\"" + std::string(name) + "\":";
    const std::size_t at = result->record.find(key);
    return at == std::string::npos ? "" : result->record.substr(at + key.size(), 24);
  }
};

Decided decide_on(std::vector<std::string> documents, std::optional<double> at = std::nullopt,
                  const MomentOfUse* use = nullptr,
                  std::shared_ptr<const PermissionChain> chain = nullptr) {
  static std::vector<std::string> kept;
  kept = std::move(documents);
  std::vector<DecisionInput> inputs;
  for (std::size_t i = 0; i < kept.size(); ++i) {
    inputs.push_back({i == 0 ? "a.json" : "b.json", JsonBytes{kept[i], 0}});
  }
  DecisionRequest request;
  request.inputs = inputs;
  request.chain = std::move(chain);
  request.at = at;
  request.use = use;
  request.format = "f/1";
  request.tool = "t 1";
  return Decided{decide(request, FixedClock(oq::at(kNow)))};
}

TEST(Decision, TheRecordIsItsOwnCanonicalFormAndItsDigestIsItsHash) {
  const Decided decided = decide_on({request()});
  ASSERT_TRUE(decided.result) << decided.result.error().detail;
  const std::string& record = decided.result->record;
  EXPECT_EQ(canonical_json(record).value(), record);
  EXPECT_EQ(decided.result->digest, sha256(record));
  EXPECT_EQ(decided.result->judgment->permission.name(), "ALR");
  EXPECT_FALSE(decided.result->chain_given);
  EXPECT_FALSE(decided.result->live);  // no moment given, none described
  EXPECT_EQ(decided.record_field("compiled_at").substr(0, 12), "1700000000.0");
}

TEST(Decision, TheMomentIsTheOneGivenElseTheRequestsElseTheClock) {
  const std::string described = request(R"(, "runtime": {"now": 1800000000.9})");
  EXPECT_EQ(decide_on({described}).record_field("compiled_at").substr(0, 12), "1800000000.0");
  EXPECT_EQ(decide_on({described}, 1900000000.0).record_field("compiled_at").substr(0, 12),
            "1900000000.0");
  // A moment given, or one described, is a moment of use too.
  EXPECT_TRUE(decide_on({request()}, 1900000000.0).result->live);
  EXPECT_TRUE(decide_on({described}).result->live);
}

TEST(Decision, TheChainIsTheOneGivenElseTheRequestsWhichMustAgreeElseTheDefault) {
  const std::string own = request(R"(, "chain": )" + kChain);
  EXPECT_EQ(decide_on({own}).result->chain->levels().size(), 5u);
  EXPECT_TRUE(decide_on({own}).result->chain_given);
  EXPECT_EQ(decide_on({own}, std::nullopt, nullptr, default_chain()).result->chain,
            default_chain());
  EXPECT_EQ(decide_on({request(), request()}).result->chain, default_chain());
  std::string other = kChain;
  other.replace(other.find("LOW"), 3, "LOWEST");
  const Decided disagree = decide_on({own, request(R"(, "chain": )" + other)});
  ASSERT_FALSE(disagree.result);
  EXPECT_EQ(disagree.result.error().kind, DecisionFault::Kind::Chains);
  EXPECT_EQ(disagree.result.error().input, 1u);
}

TEST(Decision, TheMomentOfUseTakesTheCallersWordOverTheRequests) {
  const std::string described =
      request(R"(, "runtime": {"now": 1800000000, "negative_control_states": {"nc": "Live"}})");
  // By default the moment of use is the context's own.
  EXPECT_EQ(decide_on({described}).result->live->decided_by, LiveCheck::Passed);
  MomentOfUse use;
  use.context_fingerprint = "elsewhere";
  EXPECT_EQ(decide_on({described}, std::nullopt, &use).result->live->decided_by,
            LiveCheck::Fingerprint);
  use.context_fingerprint = "x";
  use.negative_control_states = {{"nc", NegativeControlStatus::Failed}};
  EXPECT_EQ(decide_on({described}, std::nullopt, &use).result->live->decided_by,
            LiveCheck::NegativeControl);
  use.lenient = true;
  EXPECT_EQ(decide_on({described}, std::nullopt, &use).result->live->decided_by, LiveCheck::Passed);
  use.negative_control_states = {{"t", NegativeControlStatus::Live}};
  const Decided unknown = decide_on({described}, std::nullopt, &use);
  ASSERT_FALSE(unknown.result);
  EXPECT_EQ(unknown.result.error().kind, DecisionFault::Kind::Control);
  EXPECT_EQ(unknown.result.error().path, "t");
  EXPECT_EQ(unknown.result.error().detail, "nc");
}

TEST(Decision, APairIsComposedAndEvaluatedAtAMomentOfUseOnlyWhenTheCallerDescribesOne) {
  const std::string described = request(R"(, "runtime": {"now": 1800000000})");
  const Decided pair = decide_on({described, request()});
  ASSERT_TRUE(pair.result);
  EXPECT_EQ(pair.record_field("composed").substr(0, 4), "true");
  EXPECT_FALSE(pair.result->live);
  EXPECT_EQ(pair.record_field("compiled_at").substr(0, 12), "1800000000.0");
  MomentOfUse use;
  use.lenient = true;
  EXPECT_TRUE(decide_on({described, request()}, std::nullopt, &use).result->live);
}

TEST(Decision, AFaultNamesItsInputAndPath) {
  const Decided bad = decide_on({request(), R"({"claim_id": 7})"});
  ASSERT_FALSE(bad.result);
  EXPECT_EQ(bad.result.error().kind, DecisionFault::Kind::Format);
  EXPECT_EQ(bad.result.error().input, 1u);
  EXPECT_EQ(bad.result.error().path, "$.claim_id");
  std::string empty_use = request();
  empty_use.replace(empty_use.find(R"("allowed_use": "use")"), 20, R"("allowed_use": "")");
  const Decided refused = decide_on({empty_use});
  ASSERT_FALSE(refused.result);
  EXPECT_EQ(refused.result.error().kind, DecisionFault::Kind::Engine);
}

TEST(CanonicalJson, SortsKeysKeepsIntegersWholeAndWritesNumbersAsPythonDoes) {
  EXPECT_EQ(
      canonical_json(R"({"b": [1.50, -0, 1e2, 123456789012345678901234567890], "a": {}})").value(),
      R"({"a":{},"b":[1.5,0,100.0,123456789012345678901234567890]})");
  EXPECT_EQ(canonical_json(R"({"k": 1, "k": 2, "\u00e9": "\u00e9\n"})").value(),
            "{\"k\":2,\"\xc3\xa9\":\"\xc3\xa9\\n\"}");
  EXPECT_EQ(canonical_json(R"([1e-400, -1e-400])").value(), "[0.0,-0.0]");
  for (const std::string_view bad : {"1e400", "[1] 2", R"("\ud800")", "{", "nul"}) {
    EXPECT_FALSE(canonical_json(bad)) << bad;
  }
}

}  // namespace
}  // namespace oq
