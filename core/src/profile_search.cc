#include "profile_search.h"

#include <array>

#include "pointer_set.h"
#include "quote.h"

namespace oq {

// The index's reusable storage.
struct ContextIndex::Storage {
  PositionIndex<GapIdOf> gaps;             // gap id to the position of its first gap
  std::vector<const Profile*> profiles;    // by chain rank
  std::vector<std::uint32_t> first_noted;  // by chain rank: its first entry in `noted`
  std::vector<NotedRequirement> noted;     // each profile requirement, in order
  std::vector<GapKind> kinds;              // per gap: its status kind
  std::vector<std::uint32_t> begin;        // per gap: its first entry in `uses`
  std::vector<std::uint32_t> end;          // per gap: one past its last entry
  std::vector<TokenUse> uses;
  std::vector<NamedGap> named;      // per gap id a token names, in token order
  std::vector<std::uint32_t> refs;  // a derivation's token positions while it is built
  std::vector<TokenFacts> facts;    // per token

  // Storage over this many bytes is freed rather than kept for the next compilation.
  static constexpr std::size_t kKeepBytes = std::size_t{24} << 20;
  bool worth_keeping() const {
    const auto bytes = [](const auto& v) { return v.capacity() * sizeof(v[0]); };
    return gaps.bytes() + bytes(profiles) + bytes(first_noted) + bytes(noted) + bytes(kinds) +
               bytes(begin) + bytes(end) + bytes(uses) + bytes(named) + bytes(refs) +
               bytes(facts) <=
           kKeepBytes;
  }
};

namespace {

// How far ahead of the token being indexed its successors are fetched.
constexpr std::size_t kTokensAhead = 16;
constexpr std::size_t kListsAhead = 8;
// How far ahead of the gap being indexed its successors are fetched.
constexpr std::size_t kRecordsAhead = 16;
// How many gap ids named by tokens are looked up together.
constexpr std::size_t kNamedBatch = 32;

}  // namespace

ContextIndex::ContextIndex() = default;

ContextIndex::~ContextIndex() = default;

bool ContextIndex::add_gaps(std::span<const GapRecord> gaps, std::string_view& duplicate) {
  gaps_ = gaps;
  // Nothing of an earlier compilation may be read through this one.
  storage_->noted.clear();
  storage_->begin.clear();
  storage_->end.clear();
  storage_->uses.clear();
  storage_->facts.clear();
  auto& index = storage_->gaps;
  index.reset(gaps.size(), {GapIdOf{gaps.data()}});
  auto& kinds = storage_->kinds;
  kinds.resize(gaps.size());
  bool unique = true;
  index.emplace_all(
      gaps.size(),
      [&](std::size_t i) -> std::string_view {
        // Records read in order, asked for a little ahead so that entering a new page of memory
        // does not stall the pass.
        if (i + kRecordsAhead < gaps.size()) __builtin_prefetch(&gaps[i + kRecordsAhead]);
        return gaps[i].gap_id();
      },
      [&](std::size_t i, std::pair<std::uint32_t, bool> filed) {
        kinds[i] = gaps[i].status().kind();
        if (filed.second) return true;
        duplicate = gaps[i].gap_id();
        return unique = false;
      });
  return unique;
}

std::uint32_t ContextIndex::gap(std::string_view id) const { return storage_->gaps.find(id); }

const PositionIndex<ContextIndex::GapIdOf>& ContextIndex::gap_index() const {
  return storage_->gaps;
}

void ContextIndex::note_requirement(std::uint32_t position, GapKind minimum) {
  storage_->noted.push_back({position, minimum});
}

GapKind ContextIndex::gap_kind(std::uint32_t position) const { return storage_->kinds[position]; }

void ContextIndex::reserve_profiles(std::size_t levels) {
  storage_->profiles.assign(levels, nullptr);
  storage_->first_noted.assign(levels, 0);
}

bool ContextIndex::add_profile(std::uint8_t rank, const Profile* profile,
                               std::uint32_t first_noted) {
  const Profile*& slot = storage_->profiles[rank];
  if (slot) return false;
  slot = profile;
  storage_->first_noted[rank] = first_noted;
  return true;
}

std::span<const ContextIndex::NotedRequirement> ContextIndex::noted_requirements(
    std::size_t rank) const {
  return std::span(storage_->noted)
      .subspan(storage_->first_noted[rank], storage_->profiles[rank]->required_gaps().size());
}

const Profile* ContextIndex::profile_at(std::size_t rank) const { return storage_->profiles[rank]; }

void ContextIndex::add_tokens(std::span<const std::shared_ptr<const ProofToken>> tokens,
                              const Sha256Digest& provenance) {
  Storage& s = *storage_;
  s.begin.assign(gaps_.size() + 1, 0);
  s.named.clear();
  s.facts.clear();
  // One pass over the tokens notes what each is to this context and which gap ids it names; with
  // many tokens they outgrow the caches, so this is the only pass that reads them and everything
  // later reads these dense arrays. The ids are looked up a batch at a time as the pass goes,
  // while the tokens that hold them are still cached, and the entries of each gap counted.

  // The ids of the entries of `named` from `found` on, not yet looked up. Left uninitialised (a
  // string_view would zero itself): every entry is written before it is read.
  struct PendingId {
    const char* data;
    std::size_t size;
  };
  std::array<PendingId, kNamedBatch> pending;
  std::size_t found = 0;
  const auto find_named = [&] {
    s.gaps.find_all(
        s.named.size() - found,
        [&](std::size_t i) { return std::string_view(pending[i].data, pending[i].size); },
        [&](std::size_t i, std::uint32_t gap_position) {
          s.named[found + i].gap = gap_position;
          if (gap_position != kNoGap) ++s.begin[gap_position + 1];
          return true;
        });
    found = s.named.size();
  };
  const auto name = [&](std::string_view id, std::uint32_t position, bool closes) {
    pending[s.named.size() - found] = {id.data(), id.size()};
    s.named.push_back({kNoGap, position, closes});
    if (s.named.size() - found == kNamedBatch) find_named();
  };
  for (std::uint32_t position = 0; position < tokens.size(); ++position) {
    // Tokens lie wherever they were allocated: ask for the ones a few places ahead, and for the
    // id lists of nearer ones, while this one is read.
    if (position + kTokensAhead < tokens.size()) {
      // The fields read here lie in the first 104 bytes of the token: two lines of a shared one.
      const char* ahead = reinterpret_cast<const char*>(tokens[position + kTokensAhead].get());
      __builtin_prefetch(ahead);
      __builtin_prefetch(ahead + 103);
    }
    if (position + kListsAhead < tokens.size()) {
      // Short id lists lie in the token itself; a long one elsewhere.
      __builtin_prefetch(tokens[position + kListsAhead]->gap_ids_data());
    }
    const ProofToken& token = *tokens[position];
    using Kind = TokenFacts::Kind;
    const Kind kind = !provenance_matches(token, provenance) ? Kind::ForeignProvenance
                      : token.status() != TokenStatus::Valid ? Kind::Dead
                                                             : Kind::Usable;
    const std::optional<UtcTime> expires_at = token.expires_at();
    s.facts.push_back({kind, expires_at.has_value(), token.is_negative_control(),
                       expires_at.value_or(UtcTime{})});
    for (const std::string_view id : token.closes_gaps()) name(id, position, true);
    for (const std::string_view id : token.bounds_gaps()) name(id, position, false);
  }
  find_named();
  for (std::size_t i = 1; i < s.begin.size(); ++i) s.begin[i] += s.begin[i - 1];
  s.uses.resize(s.begin.back());
  s.end.assign(s.begin.begin(), s.begin.end() - 1);
  // Then file each entry under its gap, in token order; a token naming one gap twice is one use,
  // which closes when either naming does.
  for (const NamedGap& named : s.named) {
    if (named.gap == kNoGap) continue;
    std::uint32_t& end = s.end[named.gap];
    if (end != s.begin[named.gap] && s.uses[end - 1].position == named.token) {
      s.uses[end - 1].closes = s.uses[end - 1].closes || named.closes;
      continue;
    }
    s.uses[end++] = {named.token, named.closes};
  }
}

const ContextIndex::TokenFacts& ContextIndex::facts(std::uint32_t position) const {
  return storage_->facts[position];
}

std::vector<std::uint32_t>& ContextIndex::scratch_refs() {
  storage_->refs.clear();
  return storage_->refs;
}

std::span<const ContextIndex::TokenUse> ContextIndex::tokens_for(std::uint32_t position) const {
  const Storage& s = *storage_;
  if (s.end.empty()) return {};
  return std::span(s.uses).subspan(s.begin[position], s.end[position] - s.begin[position]);
}

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
  Search(const ContextIndex& index, const Clock& clock, std::vector<std::uint32_t>& used)
      : index_(index), clock_(clock), used_(used), inert_gaps_(index.gap_count(), false) {}

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
  // Disjunctions that failed without using a token: evaluating them again would change nothing,
  // so shared arms are not walked twice.
  PointerSet inert_failures_;
  struct Frame {
    const GapRequirement* node;
    std::size_t next_arm;
    std::size_t used_before;
  };
  std::vector<Frame> stack_;  // room for fired_arm's walk
  // Gaps none of whose tokens is usable: their effective status is their own.
  std::vector<bool> inert_gaps_;
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
    const ContextIndex::TokenFacts& token = index_.facts(use.position);
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
  std::vector<Frame>& stack = stack_;
  stack.assign(1, {&disjunction, 0, used_.size()});
  while (!stack.empty()) {
    Frame& top = stack.back();
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

std::expected<SearchOutcome, CoreError> descending_search(const ContextIndex& index,
                                                          const PermissionChain& chain,
                                                          Permission bottom, Permission unsatisfied,
                                                          const Clock& clock,
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
    events::emit(kNotMet, [&] {
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
  events::emit(kSearchDone, [&] {
    return std::array{Field{"phase", "descending_search"},
                      Field{"permission", std::string(step.permission_after.name())},
                      Field{"note", quote_string(search_note(arm_labels, step)), true}};
  });
  return SearchOutcome{step, search.flags};
}

}  // namespace oq
