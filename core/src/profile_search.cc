#include "profile_search.h"

#include <array>

#include "compiler_events.h"
#include "oq/events.h"
#include "oq/quote.h"
#include "pointer_set.h"

namespace oq {

namespace {

using events::Field;
using events::Level;

constinit events::Site kNotMet{kCompilerTarget, Level::Debug, "gap requirement not met; descending",
                               kCompilerFile, 306};
constinit events::Site kSearchDone{kCompilerTarget, Level::Debug, "descending search complete",
                                   kCompilerFile, 322};

// The state of one search: what every evaluated requirement shares.
class Search {
 public:
  Search(ContextIndex& index, const Clock& clock, std::vector<std::uint32_t>& used)
      : index_(index), clock_(clock), used_(used), room_(index.search_room()) {
    room_.inert_failures.clear();
    room_.stack.clear();
    room_.inert_gaps.assign(index.gap_count(), false);
  }

  // Whether `requirement`, noted as `noted`, is met. For a disjunction the label of the arm that
  // fired is appended to `labels`; a single requirement adds none and is not read.
  bool evaluate(const GapRequirement& requirement, ContextIndex::NotedRequirement noted,
                std::vector<std::string>& labels);

  ScreeningFlags flags;
  // Whether the search outgrew a budget; every evaluation after it fails.
  bool over_budget() const { return over_budget_; }

 private:
  // Counts one requirement visit; false once a budget is spent.
  bool visit() {
    if (++visits_ > max_visits_ || used_.size() > kMaxConsultedTokens) {
      over_budget_ = true;
    }
    return !over_budget_;
  }

  // Whether the gap at `position` (kNoGap: none) reaches `minimum`, its tokens counted.
  bool evaluate_single(std::uint32_t position, GapKind minimum);
  // The label of the fired arm of `disjunction`, nested labels wrapped in "any_of[...]"; absent
  // when no arm fires. Walks nested disjunctions with an explicit stack, so depth is no limit.
  std::optional<std::string> fired_arm(const GapRequirement& disjunction);

  const ContextIndex& index_;
  const Clock& clock_;
  std::vector<std::uint32_t>& used_;  // positions of the usable tokens consulted, with repeats
  SearchRoom& room_;
  PointerSet& inert_failures_ = room_.inert_failures;
  std::vector<bool>& inert_gaps_ = room_.inert_gaps;
  std::span<const ContextIndex::TokenFacts> facts_ = index_.facts();
  std::size_t visits_ = 0;
  std::size_t max_visits_ = index_.requirement_slots() + kSpareRequirementVisits;
  bool over_budget_ = false;
};

bool Search::evaluate_single(std::uint32_t position, GapKind minimum) {
  if (position == ContextIndex::kNoGap) return false;
  GapKind status = index_.gap_kind(position);
  if (inert_gaps_[position]) return satisfies(status, minimum);
  const std::size_t used_before = used_.size();
  for (const ContextIndex::TokenUse& use : index_.tokens_for(position)) {
    const ContextIndex::TokenFacts& token = facts_[use.position];
    if (token.kind == ContextIndex::TokenFacts::Kind::ForeignProvenance) {
      flags.provenance_mismatch = true;
      continue;
    }
    if (token.kind == ContextIndex::TokenFacts::Kind::Dead) {
      flags.dead_credential = true;
      continue;
    }
    if (token.expires && clock_.now() >= token.expires_at) continue;
    used_.push_back(use.position);
    if (use.closes) {
      status = GapKind::Closed;
      break;
    }
    if (status == GapKind::Open) status = GapKind::Bounded;
  }
  // No token of this gap was usable: walking them again would only set the flags already set.
  if (used_.size() == used_before) inert_gaps_[position] = true;
  return satisfies(status, minimum);
}

std::optional<std::string> Search::fired_arm(const GapRequirement& disjunction) {
  std::vector<SearchRoom::Frame>& stack = room_.stack;
  stack.assign(1, {&disjunction, 0, used_.size()});
  while (!stack.empty()) {
    SearchRoom::Frame& top = stack.back();
    const auto arms = top.node->arms();
    if (top.next_arm == arms.size()) {
      if (used_.size() == top.used_before) inert_failures_.insert(top.node);
      stack.pop_back();
      continue;
    }
    const GapRequirement& arm = *arms[top.next_arm++];
    if (!visit()) return std::nullopt;
    if (arm.is_any_of()) {
      if (!inert_failures_.contains(&arm)) stack.push_back({&arm, 0, used_.size()});
      continue;
    }
    if (!evaluate_single(index_.gap(arm.gap_id()), arm.minimum_status())) continue;
    // The arm fired: each enclosing disjunction below the outermost wraps the label once.
    const std::size_t wraps = stack.size() - 1;
    std::string label;
    label.reserve(wraps * 8 + arm.gap_id().size());
    for (std::size_t i = 0; i < wraps; ++i) label += "any_of[";
    label += arm.gap_id();
    label.append(wraps, ']');
    return label;
  }
  return std::nullopt;
}

bool Search::evaluate(const GapRequirement& requirement, ContextIndex::NotedRequirement noted,
                      std::vector<std::string>& labels) {
  if (!visit()) return false;
  if (noted.gap != ContextIndex::kNoGap) return evaluate_single(noted.gap, noted.minimum);
  if (inert_failures_.contains(&requirement)) return false;
  auto label = fired_arm(requirement);
  if (!label) return false;
  labels.push_back(std::move(*label));
  return true;
}

}  // namespace

std::expected<SearchOutcome, CoreError> descending_search(ContextIndex& index,
                                                          const PermissionChain& chain,
                                                          Permission bottom, Permission unsatisfied,
                                                          const Clock& clock, events::Sink* sink,
                                                          std::vector<std::uint32_t>& token_refs,
                                                          std::vector<std::string>& arm_labels) {
  const auto first_ref = static_cast<std::uint32_t>(token_refs.size());
  const auto first_label = static_cast<std::uint32_t>(arm_labels.size());
  Search search(index, clock, token_refs);
  DerivationStep step{Phase::DescendingSearch, StepDetail::NoProfiles, bottom};
  std::vector<std::string>& labels = arm_labels;
  bool some_profile_failed = false;
  const auto levels = chain.levels();
  for (std::size_t rank = levels.size(); rank-- > 0;) {
    const Profile* profile = index.profile_at(rank);
    if (!profile) continue;
    bool met = true;
    const auto required = profile->required_gaps();
    const auto noted = index.noted_requirements(rank);
    for (std::size_t i = 0; i < required.size(); ++i) {
      if (!search.evaluate(required[i], noted[i], labels)) {
        met = false;
        break;
      }
    }
    if (search.over_budget()) {
      return std::unexpected(MalformedContext{
          "profile search exceeds its budget of " + std::to_string(kSpareRequirementVisits) +
          " requirement visits beyond one per requirement, or " +
          std::to_string(kMaxConsultedTokens) +
          " consulted-token entries (a requirement shared among disjunctions counts each time "
          "it is reached)"});
    }
    if (met) {
      step.detail = StepDetail::ProfileSatisfied;
      step.permission_after = levels[rank];
      break;
    }
    // A failed level's labels are dropped; its used tokens and flags stay.
    labels.resize(first_label);
    some_profile_failed = true;
    events::emit(sink, kNotMet, [&] {
      return std::array{Field{"phase", "descending_search"},
                        Field{"permission", std::string(levels[rank].name())}};
    });
  }
  if (step.detail != StepDetail::ProfileSatisfied && some_profile_failed) {
    step.detail = StepDetail::NoProfileSatisfied;
    step.permission_after = unsatisfied;
  }
  step.first_ref = first_ref;
  step.ref_count = static_cast<std::uint32_t>(token_refs.size()) - first_ref;
  step.first_label = first_label;
  step.label_count = static_cast<std::uint32_t>(labels.size()) - first_label;
  events::emit(sink, kSearchDone, [&] {
    return std::array{Field{"phase", "descending_search"},
                      Field{"permission", std::string(step.permission_after.name())},
                      Field{"note", quote_string(search_note(arm_labels, step)), true}};
  });
  return SearchOutcome{step, search.flags};
}

}  // namespace oq
