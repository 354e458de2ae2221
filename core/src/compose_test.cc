#include "oq/compose.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <functional>
#include <map>

#include "test_support.h"

namespace oq {
namespace {

using TS = Request::TokenSpec;

std::expected<ProofContext, CoreError> compose(const Request& a, const Request& b,
                                               const PermissionChain& chain = *default_chain()) {
  const FixedClock clock(at(kNow));
  auto composed = compose_contexts(a.build(), b.build(), chain, clock);
  if (!composed) return std::unexpected(std::move(composed.error()));
  return **composed;
}

std::string error_of(const Request& a, const Request& b) {
  const auto result = compose(a, b);
  return result ? "<composed>" : result.error().text();
}

std::vector<std::string> ids(const ProofContext& c) {
  std::vector<std::string> out;
  for (const auto& gap : c.gaps())
    out.push_back(gap.gap_id() + ":" + std::string(gap_kind_name(gap.status().kind())));
  for (const auto& token : c.tokens())
    out.push_back(std::string(token->token_id()) + "@" + std::string(token->issuer()));
  for (const auto& profile : c.profiles()) {
    std::string entry(profile->permission().name());
    for (const auto& r : profile->required_gaps()) {
      entry += " " + r.gap_id() + ">=" + std::string(gap_kind_name(r.minimum_status()));
    }
    out.push_back(entry);
  }
  return out;
}

TEST(Compose, Failures) {
  Request read, write;
  write.f.allowed_use = "write";
  EXPECT_EQ(error_of(read, write),
            "composition failed: use conflict: contexts have incompatible allowed_use sets");
  Request foreign;
  foreign.f.permission_ceiling = Permission::named("NOPE");
  const std::string mismatch =
      "composition failed: chain mismatch: input contexts/judgments authorized under a different "
      "chain";
  EXPECT_EQ(error_of(read, foreign), mismatch);
  Request bound;
  bound.f.expected_chain_hash = ChainHash(Sha256Digest{});
  EXPECT_EQ(error_of(bound, read), mismatch);
  Request t1, t2;
  t1.token({"t", {"g"}});
  t2.token({"t", {"g"}, {}, TokenStatus::Revoked});  // status is not compared
  EXPECT_TRUE(compose(t1, t2));
  Request other_issuer;
  other_issuer.f.tokens.push_back(std::make_shared<const ProofToken>(
      "t", "type", "1", std::vector<std::string>{"g"}, std::vector<std::string>{}, t1.hash(),
      "someone else", nlohmann::json(), at(0), std::nullopt, false, TokenStatus::Valid));
  EXPECT_EQ(error_of(t1, other_issuer),
            "composition failed: token conflict: token 't' exists in both contexts with different "
            "content");
}

TEST(Compose, MergesConservatively) {
  Request a, b;
  a.f.context_fingerprint = "fa";
  b.f.context_fingerprint = "fb";
  a.gap("z").gap("g", GapStatus::bounded(1.0)).gap("h", GapStatus::closed());
  b.gap("h").gap("g", GapStatus::bounded(2.0)).gap("a");
  a.token({"t2", {}, {}, TokenStatus::Valid}).token({"t1"}).token({"t2", {"x"}});
  b.token({"t0"}).token({"t2", {"x"}});
  a.profile("ETA", {need("g", GapKind::Bounded)}).profile("AAA", {});
  b.profile("ETA",
            {need("g", GapKind::Closed), need("k", GapKind::Bounded), need("k", GapKind::Closed)});
  a.f.disallowed_uses = {"x", "x", "y"};
  b.f.disallowed_uses = {"y", "z", "z"};
  a.f.scope = Scope({}, {"a", "b"}, {"t"}, {"r"});
  b.f.scope = Scope({"c"}, {"b", "c", "b"}, {}, {"s"});
  a.f.expiry = Expiry::at(at(kNow + 200));
  b.f.expiry = Expiry::at(at(kNow + 100));
  a.f.authority_ceiling = Permission::named("ALR");
  b.f.authority_ceiling = Permission::named("ESC");
  b.f.membership = Membership::of(Membership::Kind::OutOfClassExact);

  const auto composed = compose(a, b);
  ASSERT_TRUE(composed) << composed.error().text();
  EXPECT_EQ(ids(*composed),
            (std::vector<std::string>{"a:open", "g:bounded", "h:open", "z:open", "t0@issuer",
                                      "t1@issuer", "t2@issuer", "AAA", "ETA g>=closed k>=closed"}));
  EXPECT_EQ(*composed->gaps()[1].status().bound(), 1.0);
  EXPECT_EQ(composed->tokens()[2]->closes_gaps().to_vector(), std::vector<std::string>{"x"});
  EXPECT_EQ(composed->disallowed_uses(), (std::vector<std::string>{"x", "x", "y", "z"}));
  EXPECT_EQ(composed->scope(), Scope({"c"}, {"b", "b"}, {"t"}, {}));
  EXPECT_EQ(composed->expiry().deadline(), at(kNow + 100));
  EXPECT_EQ(composed->authority_ceiling()->name(), "ESC");
  EXPECT_EQ(composed->membership(), Membership::of(Membership::Kind::OutOfClassExact));
  EXPECT_EQ(composed->context_fingerprint(), "fa+fb");
  EXPECT_EQ(composed->claim_id(), "claim");
  // b is out of class (Bottom), which caps the composed context.
  EXPECT_EQ(composed->permission_ceiling()->name(), "OOC");
  EXPECT_EQ(composed->expected_chain_hash(), default_chain()->hash());
  // An unchanged profile is shared with its input, not copied.
  EXPECT_EQ(composed->profiles()[0].get(), a.f.profiles[1].get());
}

TEST(Compose, NeverPromotesAndStaysBoundToItsChain) {
  Request strong, weak;
  strong.gap("g").token({"t", {"g"}}).profile("AAA", {need("g")});
  weak.gap("g").profile("AAA", {need("g")}).profile("ETA", {});
  const auto composed = compose(strong, weak);
  ASSERT_TRUE(composed);
  EXPECT_EQ(composed->permission_ceiling()->name(), "ETA");
  // The pooled token satisfies AAA, yet the judgment stays at the weaker input's level.
  const auto judgment = compile_context(std::make_shared<const ProofContext>(*composed),
                                        *default_chain(), FixedClock(at(kNow)));
  ASSERT_TRUE(judgment);
  EXPECT_EQ(judgment->permission.name(), "ETA");
  EXPECT_EQ(step_note(*judgment, judgment->derivation.steps.back()),
            "non-promotion ceiling (T9) is ETA");

  const std::vector<std::string_view> names = {"OOC", "EXP", "REF", "UNS", "ROL", "DIA", "ETA"};
  PermissionChain::RoleBindings roles;
  for (std::size_t i = 0; i < kRoleCount; ++i) roles[i] = i;
  const auto other = PermissionChain::create(names, roles);
  ASSERT_TRUE(other);
  const auto foreign = compile_context(std::make_shared<const ProofContext>(*composed), *other,
                                       FixedClock(at(kNow)));
  ASSERT_FALSE(foreign);
  EXPECT_TRUE(foreign.error().text().starts_with("malformed context: expected_chain_hash "));
}

TEST(Compose, DisallowedUsesKeepTheFirstListAndAddOnlyNewEntries) {
  Request none, repeats;
  repeats.f.disallowed_uses = {"a", "b", "a", "c", "b", "d"};
  const auto composed = compose(none, repeats);
  ASSERT_TRUE(composed);
  EXPECT_EQ(composed->disallowed_uses(), (std::vector<std::string>{"a", "b", "c", "d"}));
}

TEST(Compose, AnInputThatFailsToCompileCountsAsBottom) {
  Request twice, plain;
  twice.gap("g").gap("g").profile("AAA", {});
  plain.profile("AAA", {});
  const auto composed = compose(twice, plain);
  ASSERT_TRUE(composed);
  EXPECT_EQ(composed->gaps().size(), 1u);
  EXPECT_EQ(composed->permission_ceiling()->name(), "OOC");
}

TEST(SameJson, ComparesByKind) {
  using nlohmann::json;
  EXPECT_TRUE(same_json(json::parse(R"({"a":[1,-2,{"b":null}],"c":1.5})"),
                        json::parse(R"({"c":1.5,"a":[1,-2,{"b":null}]})")));
  EXPECT_FALSE(same_json(json::parse("1"), json::parse("1.0")));
  EXPECT_TRUE(same_json(json(std::int64_t{3}), json(std::uint64_t{3})));
  EXPECT_FALSE(same_json(json(std::int64_t{-1}), json(std::uint64_t{18446744073709551615u})));
  EXPECT_FALSE(same_json(json::parse("[1]"), json::parse("[1,1]")));
  EXPECT_FALSE(same_json(json::parse(R"({"a":1})"), json::parse(R"({"b":1})")));
  EXPECT_FALSE(same_json(json(), json::parse("false")));
}

// Past sixteen requirements a profile merge looks ids up in an index rather than a list; both
// must merge alike: the first requirement of each id takes the stricter minimum, new ids append.
TEST(Compose, LongProfilesMergeAsShortOnesDo) {
  for (const int length : {4, 40}) {
    Request a, b;
    std::vector<GapRequirement> ra, rb;
    for (int i = 0; i < length; ++i) {
      const std::string id = "g" + std::to_string(i);
      a.gap(id);
      ra.push_back(need(id, GapKind::Bounded));
      if (i % 2 == 0) rb.push_back(need(id, GapKind::Closed));
    }
    ra.push_back(need("g1", GapKind::Bounded));  // a repeated id: only its first is tightened
    rb.push_back(need("g1", GapKind::Closed));
    rb.push_back(need("new", GapKind::Bounded));
    rb.push_back(need("new", GapKind::Closed));
    b.gap("new");
    a.profile("AAA", std::move(ra));
    b.profile("AAA", std::move(rb));
    const auto composed = compose(a, b);
    ASSERT_TRUE(composed) << composed.error().text();
    const auto required = composed->profiles()[0]->required_gaps();
    ASSERT_EQ(required.size(), static_cast<std::size_t>(length) + 2) << length;
    for (int i = 0; i < length; ++i) {
      EXPECT_EQ(required[i].minimum_status(),
                i % 2 == 0 || i == 1 ? GapKind::Closed : GapKind::Bounded)
          << length << " " << i;
    }
    EXPECT_EQ(required[length].gap_id(), "g1");
    EXPECT_EQ(required[length].minimum_status(), GapKind::Bounded);
    EXPECT_EQ(required[length + 1].gap_id(), "new");
    EXPECT_EQ(required[length + 1].minimum_status(), GapKind::Closed);
  }
}

// Many profiles of one level, each adding a requirement, merge into one list whose index grows
// with it rather than being rebuilt for each profile.
TEST(Compose, ManyProfilesOfOneLevelMergeIntoOne) {
  Request a, b;
  for (int i = 0; i < 2'000; ++i) {
    Request& side = i % 2 == 0 ? a : b;
    side.profile("AAA", {need("g" + std::to_string(i / 3), GapKind::Bounded)});
  }
  const auto composed = compose(a, b);
  ASSERT_TRUE(composed) << composed.error().text();
  const auto required = composed->profiles()[0]->required_gaps();
  ASSERT_EQ(required.size(), 667u);
  for (std::size_t i = 0; i < required.size(); ++i) {
    EXPECT_EQ(required[i].gap_id(), "g" + std::to_string(i));
  }
}

// A few profile groups are found by comparing their levels, many through an index; either way
// each level's profiles merge in input order (the first input's, then the second's) and the
// levels come out highest first.
TEST(Compose, ProfilesGroupByLevelAlikeFewOrMany) {
  const std::vector<std::string> levels = {"DIA", "AAA", "ETA", "REV", "ALR", "AEX", "OOC"};
  for (const int count : {3, 8, 9, 16, 17, 40}) {
    Request a, b;
    std::map<std::string, std::vector<std::string>> merged;
    for (const bool first : {true, false}) {
      for (int i = first ? 0 : 1; i < count; i += 2) {
        const std::string& level = levels[static_cast<std::size_t>(i * 5) % levels.size()];
        const std::string id = "g" + std::to_string(i);
        (first ? a : b).profile(level, {need(id, GapKind::Bounded)});
        merged[level].push_back(id);
      }
    }
    const auto composed = compose(a, b);
    ASSERT_TRUE(composed) << composed.error().text();
    std::vector<std::pair<int, std::string>> got, expected;
    for (const auto& profile : composed->profiles()) {
      std::string ids;
      for (const auto& requirement : profile->required_gaps()) ids += requirement.gap_id() + ",";
      got.emplace_back(*default_chain()->rank(profile->permission()),
                       std::string(profile->permission().name()) + ":" + ids);
    }
    for (const auto& [level, ids] : merged) {
      std::string joined;
      for (const auto& id : ids) joined += id + ",";
      expected.emplace_back(*default_chain()->rank(Permission::named(level)), level + ":" + joined);
    }
    std::sort(expected.begin(), expected.end(), std::greater<>());
    EXPECT_EQ(got, expected) << count << " profiles";
  }
}

// Profiles of no level (a placeholder the binding never makes) join no group, few or many.
TEST(Compose, ProfilesOfNoLevelStayApart) {
  for (const int count : {4, 17}) {
    Request a, b;
    for (int i = 0; i < count; ++i) {
      a.f.profiles.push_back(std::make_shared<const Profile>(
          Permission(), std::vector<GapRequirement>{need("g" + std::to_string(i))}));
    }
    const auto composed = compose(a, b);
    ASSERT_TRUE(composed) << composed.error().text();
    EXPECT_EQ(composed->profiles().size(), static_cast<std::size_t>(count));
  }
}

TEST(Compose, TheFirstConflictingTokenOfTheSecondContextIsNamed) {
  Request a, b;
  a.token({"t1", {"g"}}).token({"t2", {"g"}}).token({"t2", {"h"}});  // a's later t2 wins
  b.token({"t2", {"h"}}).token({"t3", {"x"}}).token({"t1", {"other"}}).token({"t3", {"y"}});
  EXPECT_EQ(error_of(a, b),
            "composition failed: token conflict: token 't1' exists in both contexts with different "
            "content");
}

// Records are ordered by insertion when few, by comparison when more and by radix when many;
// padding both inputs with unrelated entries moves the same merge from one sort to another and
// must change nothing else.
TEST(Compose, FewAndManyRecordsMergeAlike) {
  // A larger merge before a smaller one leaves the room they share behind it.
  for (const int padding : {0, 40, 3000, 40}) {
    Request a, b;
    a.gap("m", GapStatus::bounded(1.0)).gap("k").gap("m", GapStatus::closed());
    b.gap("k", GapStatus::closed()).gap("m", GapStatus::bounded(2.0)).gap("c");
    a.f.gaps[0] = GapRecord("m", "first", GapStatus::bounded(1.0));
    a.token({"t2", {"x"}}).token({"t1"}).token({"t2", {"y"}});  // a's later t2 wins unexamined
    b.token({"t2", {"y"}}).token({"t0"}).token({"t0"});
    a.f.disallowed_uses = {"u", "v"};
    b.f.disallowed_uses = {"v", "w", "u"};
    a.f.scope = Scope({}, {"p", "q"}, {}, {});
    b.f.scope = Scope({}, {"q", "r", "p"}, {}, {});
    Request clash = b;
    // Two conflicts: the first in input order is named, though its id sorts later.
    clash.token({"t2", {"x"}}).token({"t1", {"other"}});
    for (int i = 0; i < padding; ++i) {
      const std::string pad = "pad" + std::to_string(i);
      for (Request* r : {&a, &b, &clash}) {
        r->gap(pad).token({pad});
        r->f.disallowed_uses.push_back(pad);
        r->f.scope = Scope({},
                           [&] {
                             auto paths = r->f.scope.allowed_paths();
                             paths.push_back(pad);
                             return paths;
                           }(),
                           {}, {});
      }
    }
    const auto composed = compose(a, b);
    ASSERT_TRUE(composed) << composed.error().text();
    std::vector<std::string> kept;
    for (const std::string& entry : ids(*composed)) {
      if (!entry.starts_with("pad")) kept.push_back(entry);
    }
    EXPECT_EQ(kept, (std::vector<std::string>{"c:open", "k:open", "m:bounded", "t0@issuer",
                                              "t1@issuer", "t2@issuer"}))
        << padding;
    const auto gap_m = std::ranges::find(composed->gaps(), "m", &GapRecord::gap_id);
    EXPECT_EQ(gap_m->gap_type(), "first") << padding;
    EXPECT_EQ(*gap_m->status().bound(), 1.0) << padding;
    const auto t2 =
        std::ranges::find(composed->tokens(), "t2", [](const auto& t) { return t->token_id(); });
    EXPECT_EQ((*t2)->closes_gaps().to_vector(), std::vector<std::string>{"y"}) << padding;
    auto uses = composed->disallowed_uses();
    EXPECT_EQ(std::vector(uses.begin(), uses.begin() + 2), (std::vector<std::string>{"u", "v"}));
    EXPECT_EQ(std::ranges::count_if(uses, [](const auto& u) { return !u.starts_with("pad"); }), 3);
    auto paths = composed->scope().allowed_paths();
    std::erase_if(paths, [](const auto& p) { return p.starts_with("pad"); });
    EXPECT_EQ(paths, (std::vector<std::string>{"q", "p"})) << padding;
    EXPECT_EQ(error_of(a, clash),
              "composition failed: token conflict: token 't2' exists in both contexts with "
              "different content")
        << padding;
  }
}

// A composition keeps its inputs' tokens through one keeper: composing writes no token's own
// count, the tokens outlive the inputs, a token shared out of the composition keeps it alive, and
// composing a composition keeps the first inputs, not the composition in between.
TEST(Compose, TokensStayAliveThroughTheInputs) {
  Request a, b, c;
  a.token({"t1"});
  b.token({"t2"});
  c.token({"t3"});
  const FixedClock clock(at(kNow));
  const auto& chain = *default_chain();
  auto input = a.build();
  const auto t1 = input->tokens().share(0);
  const long counted = t1.use_count();
  auto first = compose_contexts(input, b.build(), chain, clock);
  ASSERT_TRUE(first);
  EXPECT_EQ(t1.use_count(), counted);
  auto between = std::move(*first);
  const std::weak_ptr<const ProofContext> watched = between;
  auto composed = compose_contexts(between, c.build(), chain, clock);
  ASSERT_TRUE(composed);
  auto second = std::move(*composed);
  input.reset();
  between.reset();
  EXPECT_TRUE(watched.expired());
  std::vector<std::string> kept;
  for (const auto* token : second->tokens())
    kept.push_back(std::string(token->token_id()) + std::string(token->issuer()));
  EXPECT_EQ(kept, (std::vector<std::string>{"t1issuer", "t2issuer", "t3issuer"}));
  const auto held = second->tokens().share(0);
  second.reset();
  EXPECT_EQ(held->token_id(), "t1");
}

// A composed list changed afterwards (as a caller building on a composed context's fields may)
// keeps the tokens it drew and the one it was given, however the contexts are dropped, and so
// does a composition of the changed context.
TEST(Compose, ATokenAddedToAComposedListIsKeptByItsOwnCount) {
  Request a, b, d;
  a.token({"t1"});
  b.token({"t2"});
  d.token({"t4"});
  const FixedClock clock(at(kNow));
  const auto& chain = *default_chain();
  auto composed = compose_contexts(a.build(), b.build(), chain, clock);
  ASSERT_TRUE(composed);
  ProofContextFields f = (*composed)->fields();
  {
    Request c;  // gone after this block: the list alone keeps its token
    c.token({"t3"});
    f.tokens.push_back(c.build()->tokens().share(0));
  }
  auto changed = std::make_shared<const ProofContext>(std::move(f));
  composed->reset();
  auto again = compose_contexts(changed, d.build(), chain, clock);
  ASSERT_TRUE(again);
  std::vector<TokenList::Ref> held;
  for (std::size_t i = 0; i < changed->tokens().size(); ++i) {
    held.push_back(changed->tokens().share(i));
  }
  changed.reset();
  std::vector<std::string> ids;
  for (const auto& token : held) ids.emplace_back(token->token_id());
  for (const auto* token : (*again)->tokens()) ids.emplace_back(token->token_id());
  EXPECT_EQ(ids, (std::vector<std::string>{"t1", "t2", "t3", "t1", "t2", "t3", "t4"}));
}

TEST(Compose, LargeInputsMergeWithoutQuadraticCost) {
  Request a, b;
  std::vector<GapRequirement> ra, rb;
  for (int i = 0; i < 100'000; ++i) {
    const std::string id = "g" + std::to_string(i);
    a.gap(id).token({"t" + std::to_string(i), {id}});
    b.gap(id).token({"t" + std::to_string(i), {id}});
    ra.push_back(need(id, GapKind::Bounded));
    rb.push_back(need(id));
  }
  a.profile("AAA", std::move(ra));
  b.profile("AAA", std::move(rb));
  a.f.disallowed_uses.assign(100'000, "u");
  const auto composed = compose(a, b);
  ASSERT_TRUE(composed);
  EXPECT_EQ(composed->gaps().size(), 100'000u);
  EXPECT_EQ(composed->profiles()[0]->required_gaps().size(), 100'000u);
}

TEST(Compose, ALongLineOfCompositionsIsReleasedWithoutRecursion) {
  // Each composition keeps the one before it; dropping the last releases them all. A recursive
  // release of 20,000 overflows the 256 KiB stack of this thread.
  struct Line {
    std::shared_ptr<const ProofContext> first;
    bool composed = false;
    static void* run(void* arg) {
      auto& line = *static_cast<Line*>(arg);
      const FixedClock clock(at(kNow));
      std::shared_ptr<const ProofContext> last = line.first;
      for (int i = 0; i < 20'000; ++i) {
        auto next = compose_contexts(last, line.first, *default_chain(), clock);
        if (!next) return nullptr;
        last = std::move(*next);
      }
      line.composed = last->tokens().size() == 1;
      last.reset();
      return nullptr;
    }
  };
  Request base;
  base.token({"t", {}, {}});
  Line line{base.build()};
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, std::size_t{256} << 10), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attributes, &Line::run, &line), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attributes);
  EXPECT_TRUE(line.composed);
}

}  // namespace
}  // namespace oq
