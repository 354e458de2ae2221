#include "context_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"

namespace oq {
namespace {

// What building the index must give, worked out the plain way: scans instead of tables.
struct Reference {
  std::optional<std::string> error;
  std::size_t requirement_slots = 0;
  std::map<std::string, std::uint32_t> first_gap;
  std::vector<std::vector<std::pair<std::uint32_t, bool>>> uses;  // per gap
  std::vector<ContextIndex::TokenFacts::Kind> kinds;              // per token
};

Reference reference_of(const ProofContext& context, const PermissionChain& chain) {
  Reference r;
  const auto fail = [&](std::string text) {
    r.error = MalformedContext{std::move(text)}.detail;
    return r;
  };
  const auto gaps = context.gaps();
  for (std::uint32_t i = 0; i < gaps.size(); ++i) {
    if (!r.first_gap.emplace(gaps[i].gap_id(), i).second) {
      return fail("duplicate gap_id '" + gaps[i].gap_id() + "'");
    }
  }
  std::set<const GapRequirement*> checked;
  for (const auto& profile : context.profiles()) {
    const std::string level(profile->permission().name());
    if (!chain.contains(profile->permission())) {
      return fail("profile permission '" + level + "' not in supplied chain");
    }
    r.requirement_slots += profile->required_gaps().size();
    for (const GapRequirement& requirement : profile->required_gaps()) {
      // Depth first, left to right, each disjunction once.
      std::vector<const GapRequirement*> walk{&requirement};
      while (!walk.empty()) {
        const GapRequirement* node = walk.back();
        walk.pop_back();
        if (!node->is_any_of()) {
          if (!r.first_gap.contains(node->gap_id())) {
            return fail("profile for " + level + " references unknown gap_id '" + node->gap_id() +
                        "'");
          }
          continue;
        }
        if (!checked.insert(node).second) continue;
        if (node->arms().empty()) {
          return fail("profile for " + level + ": any_of requirement has zero arms");
        }
        r.requirement_slots += node->arms().size();
        for (auto arm = node->arms().rbegin(); arm != node->arms().rend(); ++arm) {
          walk.push_back(arm->get());
        }
      }
    }
  }
  std::set<std::string_view> levels;
  for (const auto& profile : context.profiles()) {
    if (!levels.insert(profile->permission().name()).second) {
      return fail("duplicate profile for permission level " +
                  std::string(profile->permission().name()));
    }
  }
  r.uses.resize(gaps.size());
  const auto& tokens = context.tokens();
  for (std::uint32_t t = 0; t < tokens.size(); ++t) {
    const ProofToken& token = *tokens[t];
    using Kind = ContextIndex::TokenFacts::Kind;
    r.kinds.push_back(token.provenance_hash() != context.provenance_hash() ? Kind::ForeignProvenance
                      : token.status() != TokenStatus::Valid               ? Kind::Dead
                                                                           : Kind::Usable);
    for (std::uint32_t g = 0; g < gaps.size(); ++g) {
      if (r.first_gap.at(gaps[g].gap_id()) != g) continue;
      bool names = false;
      bool closes = false;
      for (const auto id : token.closes_gaps()) closes = closes || id == gaps[g].gap_id();
      for (const auto id : token.bounds_gaps()) names = names || id == gaps[g].gap_id();
      if (closes || names) r.uses[g].push_back({t, closes});
    }
  }
  return r;
}

// Random contexts over a small alphabet of ids, so that repeated gaps, unknown ids, shared and
// empty disjunctions, foreign levels, repeated levels and tokens naming one gap twice all occur;
// sizes straddle the point where the index starts hashing.
Request random_request(std::mt19937& random) {
  const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  const int alphabet = 1 + pick(40);
  const auto id = [&] { return "gap-" + std::to_string(pick(alphabet)); };
  Request r;
  // Half the contexts hold each id once, in a random order, so that many of them validate.
  std::vector<std::string> ids;
  if (pick(2)) {
    for (int i = 0; i < alphabet; ++i) ids.push_back("gap-" + std::to_string(i));
    std::shuffle(ids.begin(), ids.end(), random);
  } else {
    for (int i = pick(30); i > 0; --i) ids.push_back(id());
  }
  for (auto& gap_id : ids)
    r.gap(std::move(gap_id), pick(2) ? GapStatus::open() : GapStatus::closed());
  std::vector<GapRequirement::Arm> shared{std::make_shared<const GapRequirement>(need(id()))};
  const auto requirement = [&](auto&& self, int depth) -> GapRequirement {
    if (depth > 2 || pick(4) != 0) return need(id(), pick(2) ? GapKind::Closed : GapKind::Bounded);
    std::vector<GapRequirement::Arm> arms;
    const int count = pick(4);
    for (int i = 0; i < count; ++i) {
      arms.push_back(pick(3) == 0 ? shared[pick(static_cast<int>(shared.size()))]
                                  : std::make_shared<const GapRequirement>(self(self, depth + 1)));
    }
    auto made = GapRequirement::any_of(std::move(arms));
    shared.push_back(std::make_shared<const GapRequirement>(made));
    return made;
  };
  static const char* const kLevels[] = {"AAA", "ALR", "AEX", "REV", "DIA", "ETA", "NOPE"};
  const int profiles = pick(5);
  for (int i = 0; i < profiles; ++i) {
    std::vector<GapRequirement> required;
    const int count = pick(6);
    for (int j = 0; j < count; ++j) required.push_back(requirement(requirement, 0));
    r.profile(kLevels[pick(pick(8) == 0 ? 7 : 6)], std::move(required));
  }
  const int tokens = pick(25);
  for (int i = 0; i < tokens; ++i) {
    std::vector<std::string> closes, bounds;
    for (int j = pick(3); j > 0; --j) closes.push_back(id());
    for (int j = pick(3); j > 0; --j) bounds.push_back(id());
    r.token({"t" + std::to_string(i), closes, bounds,
             pick(5) == 0 ? TokenStatus::Revoked : TokenStatus::Valid, std::nullopt, false,
             pick(6) == 0 ? std::optional<std::string>("0") : std::nullopt});
  }
  return r;
}

TEST(ContextIndex, BuildAgreesWithAPlainReading) {
  std::mt19937 random(5);
  const PermissionChain& chain = *default_chain();
  int built = 0;
  for (int round = 0; round < 3000; ++round) {
    const Request request = random_request(random);
    const auto context = request.build();
    const Reference expected = reference_of(*context, chain);
    auto index = ContextIndex::build(*context, chain);
    if (expected.error) {
      ASSERT_FALSE(index) << round;
      ASSERT_EQ(std::get<MalformedContext>(index.error().kind()).detail, *expected.error) << round;
      continue;
    }
    ASSERT_TRUE(index) << round << " " << index.error().text();
    ++built;
    EXPECT_EQ(index->requirement_slots(), expected.requirement_slots) << round;
    for (int i = 0; i < 45; ++i) {
      const std::string id = "gap-" + std::to_string(i);
      const auto found = expected.first_gap.find(id);
      ASSERT_EQ(index->gap(id),
                found == expected.first_gap.end() ? ContextIndex::kNoGap : found->second)
          << round << " " << id;
    }
    for (std::uint32_t g = 0; g < context->gaps().size(); ++g) {
      if (expected.first_gap.at(context->gaps()[g].gap_id()) != g) continue;
      std::vector<std::pair<std::uint32_t, bool>> uses;
      for (const auto& use : index->tokens_for(g)) uses.push_back({use.position, use.closes});
      ASSERT_EQ(uses, expected.uses[g]) << round << " gap " << g;
    }
    ASSERT_EQ(index->facts().size(), expected.kinds.size());
    for (std::size_t t = 0; t < expected.kinds.size(); ++t) {
      ASSERT_EQ(index->facts()[t].kind, expected.kinds[t]) << round << " token " << t;
    }
    for (const auto& profile : context->profiles()) {
      const auto rank = *chain.rank(profile->permission());
      ASSERT_EQ(index->profile_at(rank), profile.get());
      const auto noted = index->noted_requirements(rank);
      const auto required = profile->required_gaps();
      ASSERT_EQ(noted.size(), required.size());
      for (std::size_t i = 0; i < required.size(); ++i) {
        const auto gap = required[i].is_any_of() ? ContextIndex::kNoGap
                                                 : expected.first_gap.at(required[i].gap_id());
        ASSERT_EQ(noted[i].gap, gap) << round;
        ASSERT_EQ(noted[i].minimum, required[i].minimum_status()) << round;
      }
    }
  }
  EXPECT_GT(built, 600);  // the valid contexts are well represented
}

}  // namespace
}  // namespace oq
