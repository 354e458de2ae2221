#include "oq/token.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "oq/details.h"

namespace oq {
namespace {

TEST(ProvenanceHash, KnownDigests) {
  EXPECT_EQ(provenance_hash("a", "b", "c", "read"),
            "0d67a03db78fb61b3867d01b02005ba37381bade6f11e63fd44d0fd6a137415f");
  EXPECT_EQ(provenance_hash("", "", "", ""),
            "709e80c88487a2411e1ee4dfb9f22a861492d20c4765150c0c794abd70f8147c");
  // Each field is hashed in its own place: swapping two changes the digest.
  EXPECT_NE(provenance_hash("b", "a", "c", "read"), provenance_hash("a", "b", "c", "read"));
  EXPECT_EQ(provenance_hash(std::string_view("a\0", 2), "b", "c", "d").size(), 64u);
}

TEST(TokenStatus, NamesParseBackCaseSensitively) {
  for (const TokenStatus status : {TokenStatus::Valid, TokenStatus::Invalid, TokenStatus::Expired,
                                   TokenStatus::Revoked, TokenStatus::Malformed}) {
    EXPECT_EQ(parse_token_status(token_status_name(status)), status);
  }
  EXPECT_EQ(token_status_name(TokenStatus::Revoked), "revoked");
  EXPECT_EQ(parse_token_status("Valid"), std::nullopt);
  EXPECT_EQ(parse_token_status(""), std::nullopt);
}

RawProofToken raw_token() {
  return RawProofToken{.token_id = "t1",
                       .token_type = "attest",
                       .schema_version = "1",
                       .status = "valid",
                       .closes_gaps = {"g1", "g1", "g0"},
                       .bounds_gaps = {"g2"},
                       .provenance_hash = "p",
                       .issued_at = 1893456000,
                       .issuer = "iss"};
}

TEST(ProofToken, CreateKeepsFieldsInOrder) {
  RawProofToken raw = raw_token();
  raw.details = R"({"z":1,"a":2})";
  raw.expires_at = 1893456100.7;
  raw.is_negative_control = true;
  const auto token = ProofToken::create(std::move(raw));
  ASSERT_TRUE(token) << token.error().text();
  EXPECT_EQ(token->token_id(), "t1");
  EXPECT_EQ(token->closes_gaps().to_vector(), (std::vector<std::string>{"g1", "g1", "g0"}));
  EXPECT_EQ(token->bounds_gaps().to_vector(), (std::vector<std::string>{"g2"}));
  EXPECT_EQ(token->details_text(), R"({"a":2,"z":1})");
  EXPECT_EQ(format_zulu(token->issued_at()), "2030-01-01T00:00:00Z");
  EXPECT_EQ(format_zulu(*token->expires_at()), "2030-01-01T00:01:40Z");
  EXPECT_TRUE(token->is_negative_control());
  EXPECT_EQ(token->status(), TokenStatus::Valid);

  // Shared (a copy, which holds its own texts), it keeps every field.
  const auto shared = share(*token);
  EXPECT_EQ(shared->token_id(), "t1");
  EXPECT_EQ(shared->details_text(), token->details_text());
  EXPECT_EQ(shared->expires_at(), token->expires_at());
  EXPECT_EQ(shared->bounds_gaps().to_vector(), (std::vector<std::string>{"g2"}));
  EXPECT_NE(shared->token_id().data(), token->token_id().data());
}

TEST(ProofToken, StatusIsCheckedBeforeDetails) {
  RawProofToken raw = raw_token();
  raw.status = "Valid";
  raw.details = "{";
  const auto token = ProofToken::create(std::move(raw));
  ASSERT_FALSE(token);
  EXPECT_EQ(token.error().text(), "Unknown token status: Valid");
}

TEST(ProofToken, DetailsErrorsCarryThePrefix) {
  for (const std::string details : {"", "{\"a\":}", "[1e400]"}) {
    RawProofToken raw = raw_token();
    raw.details = details;
    const auto token = ProofToken::create(std::move(raw));
    ASSERT_FALSE(token) << details;
    EXPECT_TRUE(token.error().text().starts_with("Invalid JSON for details: ")) << details;
    EXPECT_NE(token.error().text().find(" at line 1 column "), std::string::npos);
  }
}

TEST(ProofToken, NullAndAbsentDetailsAreBothNull) {
  RawProofToken with_null = raw_token();
  with_null.details = " null ";
  EXPECT_TRUE(ProofToken::create(std::move(with_null))->details().is_null());
  EXPECT_TRUE(ProofToken::create(raw_token())->details().is_null());
}

struct ExpiryCase {
  std::optional<double> expires_at;
  std::optional<std::string> expected;  // Zulu text, or none for no expiry
};

class TokenExpiry : public testing::TestWithParam<ExpiryCase> {};

TEST_P(TokenExpiry, OutOfRangeExpiryIsNeverOrEarliest) {
  RawProofToken raw = raw_token();
  raw.expires_at = GetParam().expires_at;
  const auto token = ProofToken::create(std::move(raw));
  ASSERT_TRUE(token);
  if (GetParam().expected) {
    ASSERT_TRUE(token->expires_at());
    EXPECT_EQ(format_zulu(*token->expires_at()), *GetParam().expected);
  } else {
    EXPECT_EQ(token->expires_at(), std::nullopt);
  }
}

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Cases, TokenExpiry,
    testing::Values(ExpiryCase{std::nullopt, std::nullopt}, ExpiryCase{kInf, std::nullopt},
                    ExpiryCase{1e300, std::nullopt},
                    ExpiryCase{std::nan(""), "1970-01-01T00:00:00Z"},
                    ExpiryCase{-1.5, "1969-12-31T23:59:59Z"},
                    // Long past, so expired at the earliest instant rather than never.
                    ExpiryCase{-kInf, "-262143-01-01T00:00:00Z"},
                    ExpiryCase{-1e300, "-262143-01-01T00:00:00Z"}));

TEST(ProofToken, OutOfRangeIssueTimeBecomesNow) {
  for (const double issued_at : {kInf, -kInf, 1e300}) {
    RawProofToken raw = raw_token();
    raw.issued_at = issued_at;
    const UtcTime before = now_utc();
    const auto token = ProofToken::create(std::move(raw));
    const UtcTime after = now_utc();
    ASSERT_TRUE(token);
    EXPECT_GE(token->issued_at(), before);
    EXPECT_LE(token->issued_at(), after);
  }
}

TEST(ProofToken, EqualWhenIdAndProvenanceHashAre) {
  RawProofToken revoked = raw_token();
  revoked.status = "revoked";
  revoked.issuer = "other";
  RawProofToken other_hash = raw_token();
  other_hash.provenance_hash = "q";
  RawProofToken other_id = raw_token();
  other_id.token_id = "t2";
  const auto base = *ProofToken::create(raw_token());
  EXPECT_EQ(base, *ProofToken::create(std::move(revoked)));
  EXPECT_NE(base, *ProofToken::create(std::move(other_hash)));
  EXPECT_NE(base, *ProofToken::create(std::move(other_id)));
}

}  // namespace
}  // namespace oq
