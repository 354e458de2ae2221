#include "profile_search.h"

#include <array>
#include <unordered_set>

#include "quote.h"

namespace oq {

namespace {

using events::Field;
using events::Level;

constexpr events::Site kNotMet{kCompilerTarget, Level::Debug, "gap requirement not met; descending",
                               kCompilerFile, 306};
constexpr events::Site kSearchDone{kCompilerTarget, Level::Debug, "descending search complete",
                                   kCompilerFile, 322};

// The state of one search: what every evaluated requirement shares.
class Search {
 public:
  Search(const ContextIndex& index, std::string_view provenance_hash, const Clock& clock)
      : index_(index), provenance_hash_(provenance_hash), clock_(clock) {}

  // Whether `requirement` is met. For a disjunction the label of the arm that fired is appended
  // to `labels`; a single requirement adds none.
  bool evaluate(const GapRequirement& requirement, std::vector<std::string>& labels);

  std::vector<std::string_view> used;  // ids of the usable tokens consulted, with repeats
  ScreeningFlags flags;

 private:
  bool evaluate_single(const GapRequirement& requirement);
  // The label of the fired arm of `disjunction`, nested labels wrapped in "any_of[...]"; absent
  // when no arm fires. Walks nested disjunctions with an explicit stack, so depth is no limit.
  std::optional<std::string> fired_arm(const GapRequirement& disjunction);

  const ContextIndex& index_;
  std::string_view provenance_hash_;
  const Clock& clock_;
  // Disjunctions that failed without using a token: evaluating them again would change nothing,
  // so shared arms are not walked twice.
  std::unordered_set<const GapRequirement*> inert_failures_;
  // Gaps none of whose tokens is usable: their effective status is their own.
  std::unordered_set<const GapRecord*> inert_gaps_;
};

bool Search::evaluate_single(const GapRequirement& requirement) {
  const GapRecord* gap = index_.gap(requirement.gap_id());
  if (!gap) return false;
  GapKind status = gap->status().kind();
  if (inert_gaps_.contains(gap)) return satisfies(status, requirement.minimum_status());
  const std::size_t used_before = used.size();
  for (const ContextIndex::TokenUse& use : index_.tokens_for(requirement.gap_id())) {
    const ProofToken& token = *use.token;
    if (!provenance_matches(token.provenance_hash(), provenance_hash_)) {
      flags.provenance_mismatch = true;
      continue;
    }
    if (token.status() != TokenStatus::Valid) {
      flags.dead_credential = true;
      continue;
    }
    if (token.expires_at() && clock_.now() >= *token.expires_at()) continue;
    used.push_back(token.token_id());
    if (use.closes) {
      status = GapKind::Closed;
      break;
    }
    if (status == GapKind::Open) status = GapKind::Bounded;
  }
  // No token of this gap was usable: walking them again would only set the flags already set.
  if (used.size() == used_before) inert_gaps_.insert(gap);
  return satisfies(status, requirement.minimum_status());
}

std::optional<std::string> Search::fired_arm(const GapRequirement& disjunction) {
  struct Frame {
    const GapRequirement* node;
    std::size_t next_arm;
    std::size_t used_before;
  };
  std::vector<Frame> stack{{&disjunction, 0, used.size()}};
  while (!stack.empty()) {
    Frame& top = stack.back();
    const auto arms = top.node->arms();
    if (top.next_arm == arms.size()) {
      if (used.size() == top.used_before) inert_failures_.insert(top.node);
      stack.pop_back();
      continue;
    }
    const GapRequirement& arm = *arms[top.next_arm++];
    if (arm.is_any_of()) {
      if (!inert_failures_.contains(&arm)) stack.push_back({&arm, 0, used.size()});
      continue;
    }
    if (!evaluate_single(arm)) continue;
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

bool Search::evaluate(const GapRequirement& requirement, std::vector<std::string>& labels) {
  if (!requirement.is_any_of()) return evaluate_single(requirement);
  if (inert_failures_.contains(&requirement)) return false;
  auto label = fired_arm(requirement);
  if (!label) return false;
  labels.push_back(std::move(*label));
  return true;
}

std::string join(const std::vector<std::string>& items, std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i != 0) out += separator;
    out += items[i];
  }
  return out;
}

}  // namespace

bool ContextIndex::add_gaps(std::span<const GapRecord> gaps, std::string_view& duplicate) {
  gaps_.reserve(gaps.size());
  for (const GapRecord& gap : gaps) {
    if (!gaps_.emplace(gap.gap_id(), &gap).second) {
      duplicate = gap.gap_id();
      return false;
    }
  }
  return true;
}

bool ContextIndex::add_profile(const Profile& profile) {
  return profiles_.emplace(profile.permission().name(), &profile).second;
}

void ContextIndex::add_tokens(std::span<const std::shared_ptr<const ProofToken>> tokens) {
  for (std::uint32_t position = 0; position < tokens.size(); ++position) {
    const ProofToken* token = tokens[position].get();
    // A list entry names a gap once however often its lists repeat it; closing wins over
    // bounding. The same token object listed twice is two entries.
    const auto note = [&](const std::string& id, bool closes) {
      auto& uses = tokens_[id];
      if (!uses.empty() && uses.back().position == position) {
        uses.back().closes = uses.back().closes || closes;
        return;
      }
      uses.push_back({token, position, closes});
    };
    for (const std::string& id : token->closes_gaps()) note(id, true);
    for (const std::string& id : token->bounds_gaps()) note(id, false);
  }
}

const GapRecord* ContextIndex::gap(std::string_view id) const {
  const auto found = gaps_.find(id);
  return found == gaps_.end() ? nullptr : found->second;
}

const Profile* ContextIndex::profile(std::string_view level) const {
  const auto found = profiles_.find(level);
  return found == profiles_.end() ? nullptr : found->second;
}

std::span<const ContextIndex::TokenUse> ContextIndex::tokens_for(std::string_view id) const {
  const auto found = tokens_.find(id);
  if (found == tokens_.end()) return {};
  return found->second;
}

SearchOutcome descending_search(const ContextIndex& index, const PermissionChain& chain,
                                Permission bottom, Permission unsatisfied,
                                std::string_view provenance_hash, const Clock& clock) {
  Search search(index, provenance_hash, clock);
  std::string note = "no profile satisfied";
  std::vector<std::string> labels;
  std::optional<Permission> outcome;
  bool some_profile_failed = false;
  const auto levels = chain.levels();
  for (std::size_t i = levels.size(); i-- > 0 && !outcome;) {
    const Permission level = levels[i];
    const Profile* profile = index.profile(level.name());
    if (!profile) continue;
    std::vector<std::string> level_labels;
    bool met = true;
    for (const GapRequirement& requirement : profile->required_gaps()) {
      if (!search.evaluate(requirement, level_labels)) {
        met = false;
        break;
      }
    }
    if (!met) {
      some_profile_failed = true;
      events::emit(kNotMet, [&] {
        return std::array{Field{"phase", "descending_search"},
                          Field{"permission", std::string(level.name())}};
      });
      continue;
    }
    outcome = level;
    note = "profile satisfied at " + std::string(level.name());
    if (!level_labels.empty()) note += " via any_of arm(s): " + join(level_labels, ", ");
    labels = std::move(level_labels);
  }
  if (!outcome) {
    outcome = some_profile_failed ? unsatisfied : bottom;
    if (!some_profile_failed) note = "no profiles defined";
  }
  events::emit(kSearchDone, [&] {
    return std::array{Field{"phase", "descending_search"},
                      Field{"permission", std::string(outcome->name())},
                      Field{"note", quote_string(note)}};
  });
  SearchOutcome result{{Phase::DescendingSearch, *outcome, std::move(note), {}}, search.flags};
  auto& token_ids = result.step.token_ids;
  token_ids.reserve(search.used.size() + labels.size());
  for (const std::string_view id : search.used) token_ids.emplace_back(id);
  for (const std::string& label : labels) token_ids.push_back("any_of_arm:" + label);
  return result;
}

}  // namespace oq
