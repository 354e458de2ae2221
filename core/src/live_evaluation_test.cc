#include "oq/live_evaluation.h"

#include <gtest/gtest.h>

#include "oq/registry.h"
#include "test_support.h"

namespace oq {
namespace {

using NC = NegativeControlStatus;

CompiledJudgment judged(Request r, const PermissionChain& chain = *default_chain()) {
  auto judgment = r.compile(chain);
  if (!judgment) throw std::runtime_error(judgment.error().text());
  return std::move(*judgment);
}

RuntimeContext runtime(std::int64_t now, std::string fingerprint,
                       std::vector<std::pair<std::string, NC>> states = {}, bool strict = true) {
  RuntimeContext r{std::move(fingerprint), {}, at(now), strict};
  for (auto& [id, status] : states) r.negative_control_states.emplace(id, status);
  return r;
}

struct LiveCase {
  std::string name;
  RuntimeContext runtime;
  std::string expected;
};

TEST(EvaluateLive, ChecksExpiryThenFingerprintThenNegativeControls) {
  Request r;
  r.f.expiry = Expiry::at(at(kNow + 100));
  r.f.context_fingerprint = "fp";
  r.profile("ALR", {});
  r.token({"nc1", {}, {}, TokenStatus::Revoked, {}, true});
  r.token({"plain"});
  const CompiledJudgment judgment = judged(r);
  ASSERT_EQ(judgment.permission.name(), "ALR");
  const std::vector<LiveCase> cases = {
      {"live", runtime(kNow, "fp", {{"nc1", NC::Live}, {"plain", NC::Failed}}), "ALR"},
      {"deadline reached", runtime(kNow + 100, "other"), "EXP"},
      {"deadline ahead by a second", runtime(kNow + 99, "fp", {{"nc1", NC::Live}}), "ALR"},
      {"foreign fingerprint beats a failed control", runtime(kNow, "fpx", {{"nc1", NC::Failed}}),
       "OOC"},
      {"missing control", runtime(kNow, "fp"), "REF"},
      {"stale control", runtime(kNow, "fp", {{"nc1", NC::Stale}}), "REF"},
      {"missing status", runtime(kNow, "fp", {{"nc1", NC::Missing}}), "REF"},
      {"lenient mode", runtime(kNow, "fp", {{"nc1", NC::Failed}}, false), "ALR"},
  };
  for (const LiveCase& c : cases) {
    EXPECT_EQ(evaluate_live(judgment, c.runtime).permission.name(), c.expected) << c.name;
  }
}

TEST(EvaluateLive, EvidenceThatRunsOutAfterCompilationFloorsAtExpiry) {
  // The token that expires first decides; tokens compilation would not count as evidence (dead,
  // foreign, without an expiry) never do, and the earlier checks keep their order.
  Request r;
  r.f.context_fingerprint = "fp";
  r.gap("g").profile("ALR", {need("g")});
  r.token({"closes", {"g"}, {}, TokenStatus::Valid, kNow + 60});
  r.token({"later", {"g"}, {}, TokenStatus::Valid, kNow + 90});
  r.token({"dead", {}, {}, TokenStatus::Revoked, kNow + 10});
  r.token({"foreign", {}, {}, TokenStatus::Valid, kNow + 10, false, std::string(64, '0')});
  r.token({"nc", {}, {}, TokenStatus::Valid, {}, true});
  const CompiledJudgment live = judged(r);
  ASSERT_EQ(live.permission.name(), "ALR");
  const std::vector<LiveCase> cases = {
      {"dead and foreign tokens do not count", runtime(kNow + 20, "fp", {{"nc", NC::Live}}), "ALR"},
      {"a second before", runtime(kNow + 59, "fp", {{"nc", NC::Live}}), "ALR"},
      {"at its expiry", runtime(kNow + 60, "fp", {{"nc", NC::Live}}), "EXP"},
      {"after it", runtime(kNow + 61, "fp", {{"nc", NC::Live}}), "EXP"},
      {"the fingerprint is checked first", runtime(kNow + 61, "x", {{"nc", NC::Live}}), "OOC"},
      {"then the negative controls", runtime(kNow + 61, "fp"), "REF"},
  };
  for (const LiveCase& c : cases) {
    EXPECT_EQ(evaluate_live(live, c.runtime).permission.name(), c.expected) << c.name;
  }
  Request out_of_class = r;
  out_of_class.f.membership = Membership::of(Membership::Kind::OutOfClassExact);
  EXPECT_EQ(evaluate_live(judged(out_of_class), runtime(kNow + 61, "fp", {{"nc", NC::Live}}))
                .permission.name(),
            "OOC");
}

TEST(EvaluateLive, FloorsComeFromTheDefaultChainAndReplaceTheLevel) {
  const std::vector<std::string_view> names = {"B", "E", "R", "U", "D", "T", "X"};
  PermissionChain::RoleBindings roles;
  for (std::size_t i = 0; i < kRoleCount; ++i) roles[i] = i;
  const auto chain = PermissionChain::create(names, roles);
  ASSERT_TRUE(chain);
  Request r;
  r.profile("X", {});
  r.token({"nc", {}, {}, TokenStatus::Valid, {}, true});
  const CompiledJudgment judgment = judged(r, *chain);
  EXPECT_EQ(evaluate_live(judgment, runtime(kNow, "ctx")).permission.name(), "REF");
  EXPECT_EQ(evaluate_live(judgment, runtime(kNow, "elsewhere")).permission.name(), "OOC");
  // Without a fingerprint of its own a context is known by its id.
  EXPECT_EQ(evaluate_live(judgment, runtime(kNow, "ctx", {{"nc", NC::Live}})).permission.name(),
            "X");

  Request bottom;
  bottom.f.membership = Membership::of(Membership::Kind::OutOfClassExact);
  bottom.token({"nc", {}, {}, TokenStatus::Valid, {}, true});
  EXPECT_EQ(evaluate_live(judged(bottom), runtime(kNow, "ctx")).permission.name(), "REF");
}

TEST(RuntimeContext, Repr) {
  EXPECT_EQ(runtime_repr(runtime(1'700'000'000, "ctx-1")),
            "RuntimeContext(now=2023-11-14T22:13:20+00:00, fp=\"ctx-1\", strict_mode=true)");
  RuntimeContext precise = runtime(0, "a\"b", {}, false);
  precise.now.nanos = 1500;
  EXPECT_EQ(runtime_repr(precise),
            "RuntimeContext(now=1970-01-01T00:00:00.000001500+00:00, fp=\"a\\\"b\", "
            "strict_mode=false)");
}

TEST(Registry, PublishesLooksUpAndVerifies) {
  ChainRegistry registry;
  const ChainHash hash = default_chain()->hash();
  EXPECT_EQ(registry.size(), 0u);
  EXPECT_EQ(registry.lookup(hash), nullptr);
  const auto refused = registry.verify(hash);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().text(),
            "chain hash " + hash.to_hex() + " is not published in the registry");
  EXPECT_EQ(registry.publish(default_chain()), hash);
  EXPECT_EQ(registry.publish(default_chain()), hash);
  EXPECT_EQ(registry.size(), 1u);
  EXPECT_EQ(registry.lookup(hash), default_chain());
  EXPECT_TRUE(registry.verify(hash));
  EXPECT_EQ(AuditFailure(HashMismatch{hash, ChainHash(Sha256Digest{})}).text(),
            "chain hash mismatch: expected " + hash.to_hex() + ", registered chain hashes to " +
                std::string(64, '0'));
}

}  // namespace
}  // namespace oq
