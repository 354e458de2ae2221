#include "oq/compiler.h"

#include <gtest/gtest.h>

#include "oq/default_chain.h"
#include "oq/events.h"
#include "test_support.h"

namespace oq {
namespace {

struct Step {
  std::string phase;
  std::string after;
  std::string note;
  std::vector<std::string> ids{};
  friend bool operator==(const Step&, const Step&) = default;
};

std::vector<Step> steps_of(const CompiledJudgment& judgment) {
  std::vector<Step> out;
  for (const auto& step : judgment.derivation.steps) {
    out.push_back({std::string(phase_name(step.phase)), std::string(step.permission_after.name()),
                   step_note(judgment, step), step_token_ids(judgment, step)});
  }
  return out;
}

void PrintTo(const Step& s, std::ostream* os) {
  *os << s.phase << "/" << s.after << "/" << s.note << "/[";
  for (const auto& id : s.ids) *os << id << ",";
  *os << "]";
}

std::string error_of(const Request& r) {
  const auto result = r.compile();
  return result ? "<compiled>" : result.error().text();
}

TEST(Validation, ReportsTheFirstFailingCheckInOrder) {
  Request empty_use;
  empty_use.f.allowed_use = "";
  empty_use.gap("g").gap("g");
  EXPECT_EQ(error_of(empty_use), "malformed context: allowed_use must not be empty");

  Request duplicate;
  duplicate.gap("g").gap("g").profile("NOPE", {});
  EXPECT_EQ(error_of(duplicate), "malformed context: duplicate gap_id 'g'");

  Request foreign;
  foreign.gap("g").profile("ETA", {}).profile("ETA", {}).profile("NOPE", {});
  EXPECT_EQ(error_of(foreign),
            "malformed context: profile permission 'NOPE' not in supplied chain");

  Request lower_case;
  lower_case.profile("aaa", {});
  EXPECT_EQ(error_of(lower_case),
            "malformed context: profile permission 'aaa' not in supplied chain");

  Request unknown;
  unknown.gap("g1").profile("AAA", {need("g1"), any_of({need("g1"), need("g9")})});
  EXPECT_EQ(error_of(unknown), "malformed context: profile for AAA references unknown gap_id 'g9'");

  Request empty_arms;
  empty_arms.gap("g1").profile("ETA", {any_of({need("g1"), any_of({})})});
  EXPECT_EQ(error_of(empty_arms),
            "malformed context: profile for ETA: any_of requirement has zero arms");

  Request twice;
  twice.gap("g").profile("ETA", {}).profile("ROL", {}).profile("ETA", {need("g9")});
  // The third profile's bad requirement is found before the duplicate level.
  EXPECT_EQ(error_of(twice), "malformed context: profile for ETA references unknown gap_id 'g9'");
  twice.f.profiles.pop_back();
  twice.profile("ETA", {});
  EXPECT_EQ(error_of(twice), "malformed context: duplicate profile for permission level ETA");

  Request ceilings;
  ceilings.f.authority_ceiling = Permission::named("XYZ");
  ceilings.f.permission_ceiling = Permission::named("ABC");
  EXPECT_EQ(error_of(ceilings), "malformed context: authority_ceiling 'XYZ' not in supplied chain");
  ceilings.f.authority_ceiling.reset();
  EXPECT_EQ(error_of(ceilings),
            "malformed context: permission_ceiling 'ABC' not in supplied chain");

  Request bound;
  bound.f.expected_chain_hash = ChainHash(Sha256Digest{});
  EXPECT_EQ(error_of(bound), "malformed context: expected_chain_hash " + std::string(64, '0') +
                                 " does not match supplied chain " +
                                 default_chain()->hash().to_hex());
  bound.f.expected_chain_hash = default_chain()->hash();
  EXPECT_TRUE(bound.compile());
}

struct PipelineCase {
  std::string name;
  Request request;
  std::string permission;
  std::vector<Step> steps;
};

void PrintTo(const PipelineCase& c, std::ostream* os) { *os << c.name; }

class Pipeline : public testing::TestWithParam<PipelineCase> {};

TEST_P(Pipeline, DerivesTheExpectedSteps) {
  const auto judgment = GetParam().request.compile();
  ASSERT_TRUE(judgment) << judgment.error().text();
  EXPECT_EQ(judgment->permission.name(), GetParam().permission);
  EXPECT_EQ(steps_of(*judgment), GetParam().steps);
  EXPECT_EQ(provenance_hash(*judgment), GetParam().request.hash());
  EXPECT_EQ(judgment->derivation.compiled_at, at(kNow));
  EXPECT_EQ(judgment->chain_hash, default_chain()->hash());
}

Request base() { return Request(); }

PipelineCase with(std::string name, Request r, std::string permission, std::vector<Step> steps) {
  return {std::move(name), std::move(r), std::move(permission), std::move(steps)};
}

std::vector<PipelineCase> pipeline_cases() {
  using TS = Request::TokenSpec;
  std::vector<PipelineCase> cases;
  const auto search = [](std::string after, std::string note, std::vector<std::string> ids = {}) {
    return Step{"descending_search", std::move(after), std::move(note), std::move(ids)};
  };
  {
    Request r;
    r.f.membership = Membership::of(Membership::Kind::OutOfClassExact);
    r.f.expiry = Expiry::at(at(0));
    r.profile("OOC", {});
    cases.push_back(
        with("out of class", r, "OOC",
             {{"membership_check", "OOC", "out-of-class membership: OutOfClassExact"}}));
    r.f.membership = Membership::other("x\"");
    cases.push_back(
        with("out of class other", r, "OOC",
             {{"membership_check", "OOC", "out-of-class membership: OutOfClassOther(\"x\\\"\")"}}));
  }
  {
    Request r;
    r.f.expiry = Expiry::at(at(kNow));
    cases.push_back(
        with("deadline now", r, "EXP",
             {{"context_expiry", "EXP", "context expiry fired before token evaluation"}}));
    r.f.expiry = Expiry::at(at(kNow + 1));
    cases.push_back(with("deadline ahead", r, "OOC", {search("OOC", "no profiles defined")}));
  }
  cases.push_back(with("no profile met", base().gap("g").profile("AAA", {need("g")}), "UNS",
                       {search("UNS", "no profile satisfied")}));
  cases.push_back(with("empty profile", base().profile("OOC", {}), "OOC",
                       {search("OOC", "profile satisfied at OOC")}));
  cases.push_back(with("closed gap, no token",
                       base().gap("g", GapStatus::closed()).profile("ETA", {need("g")}), "ETA",
                       {search("ETA", "profile satisfied at ETA")}));
  cases.push_back(with("bounding token used twice",
                       base()
                           .gap("g1")
                           .profile("AAA", {need("g1")})
                           .profile("ETA", {need("g1", GapKind::Bounded)})
                           .token(TS{"t1", {}, {"g1"}}),
                       "ETA", {search("ETA", "profile satisfied at ETA", {"t1", "t1"})}));
  cases.push_back(with("closes and bounds the same gap",
                       base().gap("g").profile("ALR", {need("g")}).token(TS{"t", {"g"}, {"g"}}),
                       "ALR", {search("ALR", "profile satisfied at ALR", {"t"})}));
  cases.push_back(with("later tokens unread once closed",
                       base()
                           .gap("g")
                           .profile("ALR", {need("g")})
                           .token(TS{"t1", {"g"}})
                           .token(TS{"t2", {"g"}})
                           .token(TS{"t3", {"g"}, {}, TokenStatus::Revoked}),
                       "ALR", {search("ALR", "profile satisfied at ALR", {"t1"})}));
  cases.push_back(with(
      "revoked token: dead credential",
      base().gap("g").profile("ROL", {need("g")}).token(TS{"t", {"g"}, {}, TokenStatus::Revoked}),
      "REF",
      {search("UNS", "no profile satisfied"),
       {"structural_blockers", "REF",
        "DEAD_CREDENTIAL: token(s) with non-usable status seen; Refused meet applied"}}));
  cases.push_back(with("dead credential above the threshold",
                       base()
                           .gap("g")
                           .gap("h", GapStatus::closed())
                           .profile("AAA", {need("g")})
                           .profile("DIA", {need("h")})
                           .token(TS{"t", {"g"}, {}, TokenStatus::Revoked}),
                       "DIA", {search("DIA", "profile satisfied at DIA")}));
  cases.push_back(with(
      "foreign revoked token: mismatch only",
      base()
          .profile("EXP", {})
          .gap("g")
          .profile("AAA", {need("g")})
          .token(TS{"t", {"g"}, {}, TokenStatus::Revoked, {}, false, std::string("elsewhere")}),
      "EXP",
      {search("EXP", "profile satisfied at EXP"),
       {"structural_blockers", "EXP",
        "PROVENANCE_MISMATCH: token(s) with wrong provenance seen; Refused meet applied"}}));
  cases.push_back(with(
      "both flags",
      base()
          .gap("g")
          .gap("h")
          .profile("AAA", {need("g"), need("h")})
          .profile("ROL", {need("h")})
          .token(TS{"bad", {"g", "h"}, {}, TokenStatus::Valid, {}, false, std::string("x")})
          .token(TS{"dead", {"g", "h"}, {}, TokenStatus::Invalid}),
      "REF",
      {search("UNS", "no profile satisfied"),
       {"structural_blockers", "REF",
        "PROVENANCE_MISMATCH + DEAD_CREDENTIAL: rejected token(s) seen; Refused meet applied"}}));
  cases.push_back(
      with("expired token skipped in search, then the expiry blocker",
           base()
               .gap("g")
               .gap("h", GapStatus::closed())
               .profile("AAA", {need("g")})
               .profile("ALR", {need("h")})
               .token(TS{"old", {"g"}, {}, TokenStatus::Valid, kNow}),
           "EXP",
           {search("ALR", "profile satisfied at ALR"),
            {"expiry_blocker", "EXP", "at least one proof token has expired", {"old"}}}));
  cases.push_back(with("expired foreign token is not expired",
                       base().profile("ALR", {}).token(TS{
                           "old", {}, {}, TokenStatus::Valid, kNow - 5, false, std::string("x")}),
                       "ALR", {search("ALR", "profile satisfied at ALR")}));
  cases.push_back(with("requirement after a failed one is not evaluated",
                       base()
                           .gap("a")
                           .gap("b")
                           .profile("AAA", {need("a"), need("b")})
                           .token(TS{"tb", {"b"}, {}, TokenStatus::Revoked}),
                       "UNS", {search("UNS", "no profile satisfied")}));
  {
    Request r;
    r.gap("g1").gap("g2").gap("g3");
    r.token(TS{"t2", {"g2"}}).token(TS{"t3", {"g3"}});
    r.profile("AEX",
              {any_of({need("g1"), need("g2")}), any_of({any_of({need("g1"), need("g3")})})});
    cases.push_back(
        with("disjunction labels", r, "AEX",
             {search("AEX", "profile satisfied at AEX via any_of arm(s): g2, any_of[g3]",
                     {"t2", "t3", "any_of_arm:g2", "any_of_arm:any_of[g3]"})}));
  }
  {
    Request r;
    r.f.disallowed_uses = {"a", "b"};
    r.f.authority_ceiling = Permission::named("ESC");
    r.f.permission_ceiling = Permission::named("ETA");
    r.profile("AAA", {});
    r.token(TS{"nc1", {}, {}, TokenStatus::Revoked, {}, true});
    r.token(TS{"nc2", {}, {}, TokenStatus::Valid, {}, true, std::string("x")});
    cases.push_back(
        with("ceilings in order and negative controls", r, "ETA",
             {search("AAA", "profile satisfied at AAA"),
              {"structural_blockers", "ROL", "disallowed_uses present (a, b), ceiling at ROL"},
              {"authority_ceiling", "ESC", "authority ceiling is ESC"},
              {"permission_ceiling", "ETA", "non-promotion ceiling (T9) is ETA"},
              {"negative_control_registration",
               "ETA",
               "2 negative-control token(s) registered; liveness checked at runtime",
               {"nc1", "nc2"}}}));
    r.f.profiles = {
        std::make_shared<const Profile>(Permission::named("UNS"), std::vector<GapRequirement>{})};
    r.f.tokens.clear();
    cases.push_back(with("ceilings above the level record nothing", r, "UNS",
                         {search("UNS", "profile satisfied at UNS")}));
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, Pipeline, testing::ValuesIn(pipeline_cases()),
                         [](const auto& info) {
                           std::string name;
                           for (char c : info.param.name) name += std::isalnum(c) ? c : '_';
                           return name;
                         });

TEST(Pipeline, ForeignChainRoles) {
  const std::vector<std::string_view> names = {"B", "E", "R", "U", "D", "T", "X"};
  PermissionChain::RoleBindings roles;
  for (std::size_t i = 0; i < kRoleCount; ++i) roles[i] = i;
  const auto chain = PermissionChain::create(names, roles);
  ASSERT_TRUE(chain) << chain.error().text();
  Request r;
  r.profile("X", {});
  r.f.disallowed_uses = {"u"};
  const auto judgment = r.compile(*chain);
  ASSERT_TRUE(judgment);
  EXPECT_EQ(judgment->permission.name(), "D");
  EXPECT_EQ(judgment->chain_hash, chain->hash());
}

TEST(Search, TheSameTokenListedTwiceIsConsultedTwice) {
  Request r;
  r.gap("g").profile("AAA", {need("g", GapKind::Bounded)}).token({"t", {}, {"g"}});
  r.f.tokens.push_back(r.f.tokens.share(0));
  const auto judgment = r.compile();
  ASSERT_TRUE(judgment);
  EXPECT_EQ(step_token_ids(*judgment, judgment->derivation.steps[0]),
            (std::vector<std::string>{"t", "t"}));
}

TEST(Scale, RepeatedRequirementsOverUnusableTokensStayLinear) {
  // 50,000 requirements on one gap whose 50,000 tokens are all revoked: each token is examined
  // once, not once per requirement.
  Request r;
  r.gap("g", GapStatus::bounded(1.0));
  std::vector<GapRequirement> required(50'000, need("g", GapKind::Bounded));
  r.profile("AAA", std::move(required));
  for (int i = 0; i < 50'000; ++i)
    r.token({"t" + std::to_string(i), {}, {"g"}, TokenStatus::Revoked});
  const auto judgment = r.compile();
  ASSERT_TRUE(judgment);
  EXPECT_EQ(judgment->permission.name(), "AAA");  // dead credentials do not reach above DIA
}

TEST(Scale, DeepAndSharedRequirementsAndLargeContexts) {
  // A million nested disjunctions: validated and evaluated without recursion.
  Request deep;
  deep.gap("g", GapStatus::closed());
  GapRequirement nested = need("g");
  for (int i = 0; i < 1'000'000; ++i) nested = any_of({std::move(nested)});
  deep.profile("ETA", {nested});
  const auto deep_judgment = deep.compile();
  ASSERT_TRUE(deep_judgment);
  EXPECT_EQ(deep_judgment->permission.name(), "ETA");
  EXPECT_EQ(step_token_ids(*deep_judgment, deep_judgment->derivation.steps[0]).back().size(),
            std::string("any_of_arm:").size() + 999'999 * 8 + 1);

  // Arms shared 64 times over: 2^64 paths, each distinct requirement walked once.
  Request shared;
  shared.gap("g");
  auto arm = std::make_shared<const GapRequirement>(need("g"));
  for (int i = 0; i < 64; ++i) {
    arm = std::make_shared<const GapRequirement>(GapRequirement::any_of({arm, arm}));
  }
  shared.profile("ETA", {*arm});
  const auto shared_judgment = shared.compile();
  ASSERT_TRUE(shared_judgment);
  EXPECT_EQ(shared_judgment->permission.name(), "UNS");

  // The same, but a token only bounds the gap: every path consults it and must list it, so the
  // search stops at its budget instead of walking 2^30 paths.
  Request consulted;
  consulted.gap("g").token({"t", {}, {"g"}});
  arm = std::make_shared<const GapRequirement>(need("g"));
  for (int i = 0; i < 30; ++i) {
    arm = std::make_shared<const GapRequirement>(GapRequirement::any_of({arm, arm}));
  }
  consulted.profile("ETA", {*arm});
  const auto over_budget = consulted.compile();
  ASSERT_FALSE(over_budget);
  EXPECT_TRUE(over_budget.error().text().starts_with(
      "malformed context: profile search exceeds its budget of 4194304 requirement visits "
      "beyond one per requirement, or 67108864 consulted-token entries"));

  // Without sharing, many requirements over a gap with many usable tokens list each token once
  // per requirement: 25 million entries, all within the budget.
  Request repeated;
  repeated.gap("g");
  for (int i = 0; i < 5'000; ++i) repeated.token({"t" + std::to_string(i), {}, {"g"}});
  repeated.profile("ETA", std::vector<GapRequirement>(5'000, need("g", GapKind::Bounded)));
  const auto listed = repeated.compile();
  ASSERT_TRUE(listed);
  EXPECT_EQ(listed->derivation.steps[0].ref_count, 25'000'000u);

  // 100,000 gaps, tokens and requirements.
  Request large;
  std::vector<GapRequirement> required;
  for (int i = 0; i < 100'000; ++i) {
    const std::string id = "g" + std::to_string(i);
    large.gap(id).token({"t" + std::to_string(i), {id}});
    required.push_back(need(id));
  }
  large.profile("AAA", std::move(required));
  const auto large_judgment = large.compile();
  ASSERT_TRUE(large_judgment);
  EXPECT_EQ(large_judgment->permission.name(), "AAA");
  EXPECT_EQ(large_judgment->derivation.steps[0].ref_count, 100'000u);
}

// Records what passes through the event facility.
class Recorder final : public events::Sink {
 public:
  bool enabled(const events::Site&) override { return true; }
  void event(const events::Site& site, std::span<const events::Field> fields) override {
    std::string line = std::to_string(site.line) + " " + std::string(site.message);
    for (const auto& field : fields) line += " " + std::string(field.name) + "=" + field.value;
    lines.push_back(line);
  }
  bool wants_spans() const override { return true; }
  void enter(const events::Site& site, std::span<const events::Field> fields) override {
    lines.push_back("enter " + std::string(site.message) + " " + std::to_string(fields.size()));
  }
  void exit(const events::Site& site) override {
    lines.push_back("exit " + std::string(site.message));
  }
  std::vector<std::string> lines;
};

TEST(Events, EmittedAtTheirCallSitesWithoutChangingResults) {
  Request r;
  r.f.disallowed_uses = {"a"};
  r.gap("g").profile("AAA", {need("g")}).profile("ALR", {});
  r.token({"t", {"g"}, {}, TokenStatus::Revoked});
  r.token({"old", {}, {}, TokenStatus::Valid, 1});
  const auto before = r.compile();
  Recorder recorder;
  const FixedClock clock(at(kNow));
  const auto after = compile_context(r.build(), *default_chain(), clock, &recorder);
  ASSERT_TRUE(before && after);
  EXPECT_EQ(steps_of(*before), steps_of(*after));
  EXPECT_EQ(recorder.lines,
            (std::vector<std::string>{
                "enter quorvane.compile 5",
                "306 gap requirement not met; descending phase=descending_search permission=AAA",
                "322 descending search complete phase=descending_search permission=ALR "
                "note=\"profile satisfied at ALR\"",
                "391 disallowed_uses present; meeting with ceiling phase=structural_blockers "
                "before=ALR after=ROL",
                "470 expired proof token(s); meeting outcome with ExpiryFloor "
                "phase=expiry_blocker expired_token_ids=[\"old\"]",
                "509 compilation complete permission=EXP",
                "exit quorvane.compile",
            }));
}

}  // namespace
}  // namespace oq
