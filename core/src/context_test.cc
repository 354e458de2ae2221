#include "oq/context.h"

#include <gtest/gtest.h>

#include "oq/panic.h"

namespace oq {
namespace {

using Kind = Membership::Kind;

TEST(Membership, ReprAndEquality) {
  EXPECT_EQ(membership_repr(Membership::of(Kind::InClass)), "Membership(InClass)");
  EXPECT_EQ(membership_repr(Membership::of(Kind::OutOfClassAuthorizedDeterministicWrite)),
            "Membership(OutOfClassAuthorizedDeterministicWrite)");
  EXPECT_EQ(membership_repr(Membership::other("say \"hi\"\\\n\x01")),
            "Membership(OutOfClassOther(\"say \\\"hi\\\"\\\\\\n\\u{1}\"))");
  EXPECT_EQ(Membership::other("x"), Membership::other("x"));
  EXPECT_NE(Membership::other("x"), Membership::other("y"));
  EXPECT_NE(Membership::of(Kind::InClass), Membership::of(Kind::OutOfClassExact));
  EXPECT_NE(Membership::other(""), Membership::of(Kind::OutOfClassNoConsequentialUse));
  EXPECT_TRUE(Membership::of(Kind::InClass).is_in_class());
  EXPECT_FALSE(Membership::other("InClass").is_in_class());
  EXPECT_THROW(Membership::of(Kind::OutOfClassOther), Panic);
}

TEST(Scope, ReprQuotesElementsAndEqualityIsOrdered) {
  EXPECT_EQ(scope_repr(Scope()), "Scope(candidates=[], paths=[], tools=[], resources=[])");
  EXPECT_EQ(Scope(), Scope({}, {}, {}, {}));
  const Scope scope({"c"}, {"a", "b"}, {}, {"r\"1"});
  EXPECT_EQ(scope_repr(scope),
            "Scope(candidates=[\"c\"], paths=[\"a\", \"b\"], tools=[], resources=[\"r\\\"1\"])");
  EXPECT_NE(Scope({}, {"a", "b"}, {}, {}), Scope({}, {"b", "a"}, {}, {}));
  EXPECT_NE(Scope({"a"}, {}, {}, {}), Scope({}, {"a"}, {}, {}));
  EXPECT_NE(Scope({}, {}, {"a"}, {}), Scope({}, {}, {"a", "a"}, {}));
}

TEST(Expiry, FiresAtOrAfterTheDeadline) {
  const Expiry at100 = Expiry::at(*from_unix_seconds(100));
  EXPECT_TRUE(at100.fired(*from_unix_seconds(100)));
  EXPECT_TRUE(at100.fired(*from_unix_seconds(100.5)));
  EXPECT_FALSE(at100.fired(*from_unix_seconds(99.9)));
  EXPECT_FALSE(Expiry::never().fired(*from_unix_seconds(1e18)));
  // Sub-second parts count once the seconds agree.
  const Expiry precise = Expiry::at(UtcTime{0, 100, 500});
  EXPECT_FALSE(precise.fired(UtcTime{0, 100, 499}));
  EXPECT_TRUE(precise.fired(UtcTime{0, 100, 500}));
  EXPECT_TRUE(precise.fired(UtcTime{1, 0, 0}));
}

TEST(Expiry, Repr) {
  EXPECT_EQ(expiry_repr(Expiry::never()), "Expiry(never)");
  EXPECT_EQ(expiry_repr(Expiry::at(*from_unix_seconds(0))),
            "Expiry(deadline=1970-01-01T00:00:00+00:00)");
  EXPECT_EQ(expiry_repr(Expiry::at(UtcTime{0, 0, 250000000})),
            "Expiry(deadline=1970-01-01T00:00:00.250+00:00)");
  EXPECT_EQ(expiry_repr(Expiry::at(earliest_utc())),
            "Expiry(deadline=-262143-01-01T00:00:00+00:00)");
}

ProofContextFields fields() {
  auto token = ProofToken::create(
      RawProofToken{.token_id = "t", .status = "valid", .provenance_hash = "p", .issued_at = 0});
  return ProofContextFields{
      .claim_id = "a",
      .candidate_id = "b",
      .context_id = "c",
      .context_fingerprint = "fingerprint",
      .allowed_use = "read",
      .gaps = {GapRecord("g", "t", GapStatus::open())},
      .profiles = {std::make_shared<const Profile>(Permission::named("AAA"),
                                                   std::vector<GapRequirement>{})},
      .tokens = {std::make_shared<const ProofToken>(std::move(*token))},
      .authority_ceiling = Permission::named("AAA"),
  };
}

TEST(ProofContext, ProvenanceUsesContextIdNotFingerprint) {
  const ProofContext context(fields());
  EXPECT_EQ(context.provenance_hash(),
            "0d67a03db78fb61b3867d01b02005ba37381bade6f11e63fd44d0fd6a137415f");
  EXPECT_EQ(context.context_fingerprint(), "fingerprint");
  EXPECT_EQ(context_repr(context), "ProofContext(claim_id=a, candidate_id=b, allowed_use=read)");
}

TEST(ProofContext, CopiesShareTokensAndProfiles) {
  const ProofContext context(fields());
  const ProofContext copy = context;
  EXPECT_EQ(copy.tokens()[0], context.tokens()[0]);
  EXPECT_EQ(copy.tokens().share(0), context.tokens().share(0));
  EXPECT_EQ(copy.profiles()[0].get(), context.profiles()[0].get());
  EXPECT_EQ(copy.gaps()[0], context.gaps()[0]);
  EXPECT_EQ(copy.membership(), Membership::of(Kind::InClass));
  EXPECT_EQ(copy.expiry().deadline(), std::nullopt);
  EXPECT_EQ(copy.permission_ceiling(), std::nullopt);
  EXPECT_EQ(copy.expected_chain_hash(), std::nullopt);
}

TEST(ProofContext, NullSharedRecordsPanic) {
  ProofContextFields with_null_token = fields();
  with_null_token.tokens.push_back(nullptr);
  EXPECT_THROW(ProofContext{std::move(with_null_token)}, Panic);
  ProofContextFields with_null_profile = fields();
  with_null_profile.profiles.push_back(nullptr);
  EXPECT_THROW(ProofContext{std::move(with_null_profile)}, Panic);
}

}  // namespace
}  // namespace oq
