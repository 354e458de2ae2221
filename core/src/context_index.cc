#include "context_index.h"

#include <array>
#include <optional>
#include <string>

#include "pointer_set.h"
#include "prefetch.h"
#include "profile_search.h"

namespace oq {

namespace {

// A gap's id by its position in the context.
struct GapIdOf {
  const GapRecord* gaps = nullptr;
  std::string_view operator()(std::uint32_t position) const { return gaps[position].gap_id(); }
};

// How many gap ids named by tokens are looked up together.
constexpr std::size_t kNamedBatch = 32;

MalformedContext malformed(std::string detail) { return MalformedContext{std::move(detail)}; }

std::string name_of(Permission level) { return std::string(level.name()); }

MalformedContext unknown_gap(std::string_view level, std::string_view gap_id) {
  return malformed("profile for " + std::string(level) + " references unknown gap_id '" +
                   std::string(gap_id) + "'");
}

}  // namespace

// The index's reusable storage.
struct ContextIndex::Storage {
  std::span<const GapRecord> gaps;
  PositionIndex<GapIdOf> by_id;            // gap id to the position of its first gap
  std::vector<GapKind> kinds;              // per gap: its status kind
  std::vector<const Profile*> profiles;    // by chain rank
  std::vector<std::uint32_t> first_noted;  // by chain rank: its first entry in `noted`
  std::vector<std::uint8_t> ranks;         // per profile: its level's rank
  std::vector<NotedRequirement> noted;     // each profile requirement, in order
  std::size_t requirement_slots = 0;
  std::vector<std::uint32_t> begin;  // per gap: its first entry in `uses`
  std::vector<std::uint32_t> end;    // per gap: one past its last entry
  std::vector<TokenUse> uses;
  // A gap id named by a token: the gap's position (or kNoGap), the token's, and whether the
  // token closes the gap rather than bounds it.
  struct NamedGap {
    std::uint32_t gap;
    std::uint32_t token;
    bool closes;
  };
  std::vector<NamedGap> named;      // per gap id a token names, in token order
  std::vector<TokenFacts> facts;    // per token
  std::vector<std::uint32_t> refs;  // a derivation's token positions while it is built
  std::array<std::vector<std::uint32_t>, 2> positions;  // more token positions, for a phase
  // Room for checking disjunctions: those already checked, and the walk's pending nodes.
  PointerSet checked;
  std::vector<const GapRequirement*> pending;
  std::unique_ptr<SearchRoom> search;  // made on first use, then kept

  // Empties everything, so that nothing of an earlier compilation can be read through this one.
  void reset(std::span<const GapRecord> context_gaps, std::size_t levels) {
    gaps = context_gaps;
    by_id.reset(gaps.size(), {GapIdOf{gaps.data()}});
    kinds.clear();
    profiles.assign(levels, nullptr);
    first_noted.assign(levels, 0);
    noted.clear();
    requirement_slots = 0;
    begin.clear();
    end.clear();
    uses.clear();
    named.clear();
    facts.clear();
    refs.clear();
    checked.clear();
    pending.clear();
  }

  // Storage over this many bytes is freed rather than kept for the next compilation.
  static constexpr std::size_t kKeepBytes = std::size_t{24} << 20;
  bool worth_keeping() const {
    const auto bytes = [](const auto& v) { return v.capacity() * sizeof(v[0]); };
    return by_id.bytes() + bytes(kinds) + bytes(profiles) + bytes(first_noted) + bytes(ranks) +
               bytes(noted) + bytes(begin) + bytes(end) + bytes(uses) + bytes(named) +
               bytes(facts) + bytes(refs) + bytes(positions[0]) + bytes(positions[1]) +
               bytes(pending) + checked.bytes() + (search ? search->bytes() : 0) <=
           kKeepBytes;
  }

  std::optional<CoreError> index_gaps();
  std::optional<CoreError> note_profiles(std::span<const std::shared_ptr<const Profile>> profiles,
                                         const PermissionChain& chain);
  std::optional<CoreError> check_disjunction(const GapRequirement& disjunction,
                                             std::string_view level);
  void index_tokens(std::span<const ProofToken* const> tokens, const Sha256Digest& provenance);
};

// Files each gap under its id, keeping the first of each; a repeated id is the error.
std::optional<CoreError> ContextIndex::Storage::index_gaps() {
  kinds.resize(gaps.size());
  std::optional<CoreError> error;
  by_id.emplace_all(
      gaps.size(),
      [&](std::size_t i) -> std::string_view {
        prefetch_ahead(i, gaps.size(), [&](std::size_t j) { return &gaps[j]; });
        return gaps[i].gap_id();
      },
      [&](std::size_t i, std::pair<std::uint32_t, bool> filed) {
        kinds[i] = gaps[i].status().kind();
        if (filed.second) return true;
        error = malformed("duplicate gap_id '" + gaps[i].gap_id() + "'");
        return false;
      });
  return error;
}

// Checks that `disjunction` and every arm below it name known gaps and that no disjunction is
// empty, in the order a left-to-right walk meets them. Iterative, and each shared arm is checked
// once, so neither depth nor sharing costs more than the number of distinct requirements.
std::optional<CoreError> ContextIndex::Storage::check_disjunction(const GapRequirement& disjunction,
                                                                  std::string_view level) {
  pending.assign(1, &disjunction);
  while (!pending.empty()) {
    const GapRequirement* node = pending.back();
    pending.pop_back();
    if (!node->is_any_of()) {
      if (by_id.find(node->gap_id()) == kNoGap) return unknown_gap(level, node->gap_id());
      continue;
    }
    if (!checked.insert(node)) continue;
    const auto arms = node->arms();
    if (arms.empty()) {
      return malformed("profile for " + std::string(level) + ": any_of requirement has zero arms");
    }
    requirement_slots += arms.size();
    for (std::size_t i = arms.size(); i-- > 0;) pending.push_back(arms[i].get());
  }
  return std::nullopt;
}

// Checks each profile's level and requirements in order, noting each requirement as the search
// reads it, then files the profiles by rank; a second profile for one level is the error.
std::optional<CoreError> ContextIndex::Storage::note_profiles(
    std::span<const std::shared_ptr<const Profile>> context_profiles,
    const PermissionChain& chain) {
  ranks.clear();
  for (const auto& profile : context_profiles) {
    const auto rank = chain.rank(profile->permission());
    if (!rank) {
      return malformed("profile permission '" + name_of(profile->permission()) +
                       "' not in supplied chain");
    }
    ranks.push_back(*rank);
    const auto required = profile->required_gaps();
    requirement_slots += required.size();
    std::optional<CoreError> error;
    by_id.find_all(
        required.size(),
        [&](std::size_t i) -> std::string_view {
          prefetch_ahead(i, required.size(), [&](std::size_t j) { return &required[j]; });
          return required[i].gap_id();
        },
        [&](std::size_t i, std::uint32_t position) {
          const GapRequirement& requirement = required[i];
          if (requirement.is_any_of()) {
            error = check_disjunction(requirement, profile->permission().name());
            position = kNoGap;
          } else if (position == kNoGap) {
            error = unknown_gap(profile->permission().name(), requirement.gap_id());
          }
          if (error) return false;
          noted.push_back({position, requirement.minimum_status()});
          return true;
        });
    if (error) return error;
  }
  std::uint32_t first = 0;
  for (std::size_t i = 0; i < context_profiles.size(); ++i) {
    const auto& profile = context_profiles[i];
    const std::uint8_t rank = ranks[i];
    if (profiles[rank]) {
      return malformed("duplicate profile for permission level " + name_of(profile->permission()));
    }
    profiles[rank] = profile.get();
    first_noted[rank] = first;
    first += static_cast<std::uint32_t>(profile->required_gaps().size());
  }
  return std::nullopt;
}

// Notes, for each gap, the token list entries that name it, in token order, and what each token
// is to a context whose provenance digest is `provenance`.
void ContextIndex::Storage::index_tokens(std::span<const ProofToken* const> tokens,
                                         const Sha256Digest& provenance) {
  begin.assign(gaps.size() + 1, 0);
  facts.reserve(tokens.size());
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
  std::array<PendingId, kNamedBatch> ids;
  std::size_t found = 0;
  const auto find_named = [&] {
    by_id.find_all(
        named.size() - found,
        [&](std::size_t i) { return std::string_view(ids[i].data, ids[i].size); },
        [&](std::size_t i, std::uint32_t gap_position) {
          named[found + i].gap = gap_position;
          if (gap_position != kNoGap) ++begin[gap_position + 1];
          return true;
        });
    found = named.size();
  };
  // Ids are looked up in batches only when the index fetches a batch's slots ahead.
  const bool batch = by_id.prefetches(kNamedBatch);
  const auto name = [&](std::string_view id, std::uint32_t position, bool closes) {
    if (!batch) {
      const std::uint32_t gap = by_id.find(id);
      if (gap != kNoGap) ++begin[gap + 1];
      named.push_back({gap, position, closes});
      return;
    }
    ids[named.size() - found] = {id.data(), id.size()};
    named.push_back({kNoGap, position, closes});
    if (named.size() - found == kNamedBatch) find_named();
  };
  for (std::uint32_t position = 0; position < tokens.size(); ++position) {
    // Tokens lie wherever they were allocated: ask for the hot blocks of the ones ahead, and for
    // the id lists of those (which a long list keeps elsewhere) once their blocks have come.
    prefetch_ahead(
        position, tokens.size(), [&](std::size_t j) { return &tokens[j]->hot(); },
        ProofToken::kHotBytes);
    prefetch_ahead(
        position, tokens.size(), [&](std::size_t j) { return tokens[j]->hot().gap_ids.data(); }, 1,
        kLookAhead / 2);
    const ProofToken::Hot& token = tokens[position]->hot();
    using Kind = TokenFacts::Kind;
    const Kind kind = !provenance_matches(*tokens[position], provenance) ? Kind::ForeignProvenance
                      : token.status != TokenStatus::Valid               ? Kind::Dead
                                                                         : Kind::Usable;
    facts.push_back({kind, token.expires, token.is_negative_control, token.expires_at});
    for (const std::string_view id : token.gap_ids.closes()) name(id, position, true);
    for (const std::string_view id : token.gap_ids.bounds()) name(id, position, false);
  }
  if (batch) find_named();
  for (std::size_t i = 1; i < begin.size(); ++i) begin[i] += begin[i - 1];
  uses.resize(begin.back());
  end.assign(begin.begin(), begin.end() - 1);
  // Then file each entry under its gap, in token order; a token naming one gap twice is one use,
  // which closes when either naming does.
  for (const NamedGap& entry : named) {
    if (entry.gap == kNoGap) continue;
    std::uint32_t& last = end[entry.gap];
    if (last != begin[entry.gap] && uses[last - 1].position == entry.token) {
      uses[last - 1].closes = uses[last - 1].closes || entry.closes;
      continue;
    }
    uses[last++] = {entry.token, entry.closes};
  }
}

ContextIndex::ContextIndex() = default;

ContextIndex::~ContextIndex() = default;

std::expected<ContextIndex, CoreError> ContextIndex::build(const ProofContext& context,
                                                           const PermissionChain& chain) {
  if (context.allowed_use().empty())
    return std::unexpected(malformed("allowed_use must not be empty"));
  if (const auto& expected = context.expected_chain_hash();
      expected && !(*expected == chain.hash())) {
    return std::unexpected(malformed("expected_chain_hash " + expected->to_hex() +
                                     " does not match supplied chain " + chain.hash().to_hex()));
  }
  ContextIndex index;
  Storage& s = *index.storage_;
  s.reset(context.gaps(), chain.size());
  if (auto error = s.index_gaps()) return std::unexpected(std::move(*error));
  if (auto error = s.note_profiles(context.profiles(), chain)) {
    return std::unexpected(std::move(*error));
  }
  if (const auto& ceiling = context.authority_ceiling(); ceiling && !chain.contains(*ceiling)) {
    return std::unexpected(
        malformed("authority_ceiling '" + name_of(*ceiling) + "' not in supplied chain"));
  }
  if (const auto& ceiling = context.permission_ceiling(); ceiling && !chain.contains(*ceiling)) {
    return std::unexpected(
        malformed("permission_ceiling '" + name_of(*ceiling) + "' not in supplied chain"));
  }
  s.index_tokens(context.tokens().pointers(), context.provenance_digest());
  return index;
}

std::uint32_t ContextIndex::gap(std::string_view id) const { return storage_->by_id.find(id); }

GapKind ContextIndex::gap_kind(std::uint32_t position) const { return storage_->kinds[position]; }

std::size_t ContextIndex::gap_count() const { return storage_->gaps.size(); }

const Profile* ContextIndex::profile_at(std::size_t rank) const { return storage_->profiles[rank]; }

std::span<const ContextIndex::NotedRequirement> ContextIndex::noted_requirements(
    std::size_t rank) const {
  return std::span(storage_->noted)
      .subspan(storage_->first_noted[rank], storage_->profiles[rank]->required_gaps().size());
}

std::size_t ContextIndex::requirement_slots() const { return storage_->requirement_slots; }

std::span<const ContextIndex::TokenUse> ContextIndex::tokens_for(std::uint32_t position) const {
  const Storage& s = *storage_;
  return std::span(s.uses).subspan(s.begin[position], s.end[position] - s.begin[position]);
}

std::span<const ContextIndex::TokenFacts> ContextIndex::facts() const { return storage_->facts; }

std::vector<std::uint32_t>& ContextIndex::scratch_refs() {
  storage_->refs.clear();
  return storage_->refs;
}

SearchRoom& ContextIndex::search_room() {
  auto& room = storage_->search;
  if (!room) room = std::make_unique<SearchRoom>();
  return *room;
}

std::vector<std::uint32_t>& ContextIndex::scratch_positions(int which) {
  auto& positions = storage_->positions[static_cast<std::size_t>(which)];
  positions.clear();
  return positions;
}

}  // namespace oq
