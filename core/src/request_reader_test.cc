#include "oq/request_reader.h"

#include <gtest/gtest.h>

#include "oq/default_chain.h"

namespace oq {
namespace {

constexpr std::string_view kRequest = R"({
  "claim_id": "c", "candidate_id": "d", "context_id": "x", "allowed_use": "use",
  "membership": {"other": "contractor"}, "authority_ceiling": "ALR", "expiry": "never",
  "gaps": [{"gap_id": "g", "gap_type": "t", "status": "bounded", "bound_value": 0.25}],
  "profiles": [{"permission": "ALR", "required_gaps": [
    {"any_of": [{"gap_id": "g", "minimum_status": "bounded"}, {"any_of": []}]}]}],
  "tokens": [{"token_id": "t\u00e9", "token_type": "a", "schema_version": "1", "status": "valid",
    "closes_gaps": [], "bounds_gaps": ["g"], "provenance_hash": "h", "issued_at": 1.7e9,
    "issuer": "i", "details": {"b": [1, -2, 18446744073709551615, 1.5, null, true], "a": "x"}}],
  "runtime": {"now": "2026-12-09T08:00:00Z", "negative_control_states": {"t": "Stale"}},
  "context_fingerprint": null
})";

std::expected<ReadRequest, ReadFault> read(std::string_view text) {
  return read_request(JsonBytes{text, 0}, nullptr);
}

TEST(ReadRequest, BuildsTheRecordsADocumentDescribes) {
  const auto request = read(kRequest);
  ASSERT_TRUE(request) << request.error().path << ": " << request.error().detail;
  const ProofContext& context = *request->context;
  EXPECT_EQ(context.context_fingerprint(), "x");  // null is absent: the context id stands in
  EXPECT_FALSE(context.membership().is_in_class());
  EXPECT_EQ(context.gaps()[0].status().kind(), GapKind::Bounded);
  ASSERT_EQ(context.tokens().size(), 1u);
  const ProofToken& token = *context.tokens()[0];
  EXPECT_EQ(token.token_id(), "t\xc3\xa9");
  EXPECT_EQ(token.details_text(), R"({"a":"x","b":[1,-2,18446744073709551615,1.5,null,true]})");
  EXPECT_EQ(request->chain, nullptr);
  ASSERT_TRUE(request->runtime);
  EXPECT_EQ(request->runtime->now, 1796803200.0);
  EXPECT_EQ(request->runtime->negative_control_states->at(0).second, NegativeControlStatus::Stale);
}

TEST(ReadRequest, NamesThePathAndWhatWasExpected) {
  struct Case {
    std::string_view text;
    ReadFault::Kind kind;
    std::string_view path, detail;
  };
  const Case cases[] = {
      {R"({"claim_id": 1})", ReadFault::Kind::Format, "$.claim_id", "expected a string, got 1"},
      {R"({"tokens": [{"bad key": 1}]})", ReadFault::Kind::Format, R"($.tokens[0]["bad key"])",
       "unknown field; expected one of token_id, token_type, schema_version, status, "
       "closes_gaps, bounds_gaps, provenance_hash, issued_at, issuer, expires_at, details, "
       "is_negative_control"},
      {R"({"expiry": {"at": 1e300}})", ReadFault::Kind::Format, "$.expiry.at",
       "expected a time the engine can represent (years -262143 to 262142), got 1e+300"},
      {R"({"gaps": [{"gap_id": "g", "gap_type": "t", "status": "shut"}], "claim_id": "c",
          "candidate_id": "d", "context_id": "x", "allowed_use": "u", "membership": "InClass",
          "authority_ceiling": "AAA", "expiry": "never"})",
       ReadFault::Kind::Engine, "$.gaps[0]", "Unknown gap status: shut"},
      {R"({"chain": {"levels": ["A", "A"], "roles": {}}})", ReadFault::Kind::Engine, "$.chain", ""},
      {R"({"a": 1, "a": 2})", ReadFault::Kind::Format, "$",
       R"(expected an object without duplicated key "a")"},
  };
  for (const Case& c : cases) {
    const auto request = read(c.text);
    ASSERT_FALSE(request) << c.text;
    EXPECT_EQ(request.error().kind, c.kind) << c.text;
    EXPECT_EQ(request.error().path, c.path) << c.text;
    if (!c.detail.empty()) {
      EXPECT_EQ(request.error().detail, c.detail) << c.text;
    }
  }
}

TEST(ReadRequest, ReadsInPlaceWhenTheCallerLeavesRoomAndCopiesOtherwise) {
  std::string padded(kRequest);
  const std::size_t size = padded.size();
  padded.append(kJsonPadding, ' ');
  const auto in_place =
      read_request(JsonBytes{std::string_view(padded.data(), size), padded.size()}, nullptr);
  ASSERT_TRUE(in_place);
  EXPECT_EQ(in_place->context->provenance_hash(), read(kRequest)->context->provenance_hash());
}

TEST(ParseRfc3339, ReadsStrictTimesOnly) {
  EXPECT_EQ(parse_rfc3339("1970-01-01T00:00:00Z"), 0.0);
  EXPECT_EQ(parse_rfc3339("1970-01-01T01:00:00+01:00"), 0.0);
  EXPECT_EQ(parse_rfc3339("1970-01-01T00:00:00.5z"), 0.5);
  EXPECT_EQ(parse_rfc3339("2000-02-29T00:00:00Z"), 951782400.0);
  for (const char* text : {"1900-02-29T00:00:00Z", "1970-13-01T00:00:00Z", "1970-01-01T00:00Z",
                           "1970-01-01T00:00:00+0100", "1970-01-01T00:00:00+01:60", ""}) {
    EXPECT_FALSE(parse_rfc3339(text)) << text;
  }
}

TEST(ReadChain, BuildsAChainOrSaysWhyNot) {
  const auto chain = read_chain(JsonBytes{R"({"levels": ["deny", "expired", "refused", "pending",
      "read", "admin"], "roles": {"Bottom": 0, "ExpiryFloor": 1, "Refused": 2, "Unsatisfied": 3,
      "DisallowedUsesCeiling": 4.0, "BlockerThreshold": 4, "Top": 5}, "description": "d"})",
                                          0});
  ASSERT_TRUE(chain) << chain.error().detail;
  EXPECT_EQ((*chain)->levels().size(), 6u);
  const auto refused = read_chain(JsonBytes{R"({"levels": ["a", "b"], "roles": {"Top": -1}})", 0});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().path, "$.roles.Top");
  EXPECT_EQ(refused.error().detail, "expected a level index (an integer from 0), got -1");
}

}  // namespace
}  // namespace oq
