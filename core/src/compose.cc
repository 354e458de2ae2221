#include "oq/compose.h"

#include <algorithm>
#include <cstdint>
#include <memory>

#include "flat_index.h"
#include "key_order.h"
#include "oq/compiler.h"
#include "oq/text_hash.h"
#include "prefetch.h"
#include "spare.h"

namespace oq {

namespace {

CoreError use_conflict() {
  return CompositionFailed{"use conflict: contexts have incompatible allowed_use sets"};
}
CoreError chain_mismatch() {
  return CompositionFailed{
      "chain mismatch: input contexts/judgments authorized under a different chain"};
}
CoreError token_conflict(std::string_view id) {
  return CompositionFailed{"token conflict: token '" + std::string(id) +
                           "' exists in both contexts with different content"};
}

// Whether `context` may be composed under `chain`: no other chain's hash, no foreign ceiling.
bool fits_chain(const ProofContext& context, const PermissionChain& chain) {
  if (const auto& expected = context.expected_chain_hash();
      expected && !(*expected == chain.hash()))
    return false;
  for (const auto& ceiling : {context.authority_ceiling(), context.permission_ceiling()}) {
    if (ceiling && !chain.contains(*ceiling)) return false;
  }
  return true;
}

// Lists this short are searched rather than indexed: a scan costs less than building the index.
constexpr std::size_t kScanLimit = 16;

bool contains(const std::vector<std::string>& list, std::string_view entry) {
  return std::find(list.begin(), list.end(), entry) != list.end();
}

std::vector<std::string> merge_uses(const std::vector<std::string>& a,
                                    const std::vector<std::string>& b) {
  std::vector<std::string> out = a;
  if (a.size() + b.size() <= kScanLimit) {
    for (const std::string& use : b) {
      if (!contains(out, use)) out.push_back(use);
    }
    return out;
  }
  FlatIndex seen(a.size() + b.size());
  for (const std::string& use : a) seen.emplace(use, 0);
  for (const std::string& use : b) {
    // Keys view the inputs, which outlive the merge; `out` may move.
    if (seen.emplace(use, 0).second) out.push_back(use);
  }
  return out;
}

// An empty list is unrestricted, so it yields to the other side; otherwise B's entries found in A.
std::vector<std::string> intersect(const std::vector<std::string>& a,
                                   const std::vector<std::string>& b) {
  if (b.empty()) return a;
  if (a.empty()) return b;
  std::vector<std::string> out;
  if (a.size() <= kScanLimit) {
    for (const std::string& entry : b) {
      if (contains(a, entry)) out.push_back(entry);
    }
    return out;
  }
  FlatIndex in_a(a.size());
  for (const std::string& entry : a) in_a.emplace(entry, 0);
  for (const std::string& entry : b) {
    if (in_a.find(entry) != FlatIndex::kAbsent) out.push_back(entry);
  }
  return out;
}

Expiry earlier(const Expiry& a, const Expiry& b) {
  if (!a.deadline()) return b;
  if (!b.deadline()) return a;
  return *b.deadline() < *a.deadline() ? b : a;
}

// The merged requirement ids of a profile, each found by its position among them.
struct RequirementIdAt {
  const std::vector<std::string_view>* ids = nullptr;
  std::string_view operator()(std::uint32_t position) const { return (*ids)[position]; }
};
using RequirementIndex = PositionIndex<RequirementIdAt>;

struct ProfileGroup;

// Room the merges reuse from one composition to the next, so that composing large contexts
// again and again does not ask the system for fresh memory each time.
struct MergeScratch {
  KeyOrder order;          // gap ids, then token ids, in order
  RequirementIndex index;  // the first long profile's
  std::vector<std::string_view> profile_ids;
  // The id lists of the other profile groups, kept from one composition to the next.
  std::vector<std::vector<std::string_view>> spare_ids;
  std::vector<ProfileGroup> groups;                      // one per level, none left between
  std::vector<std::pair<int, std::uint32_t>> ranked;     // the groups by rank, then by arrival
  OpenTable<AddressKeys<std::uint32_t>> group_of_level;  // by level name, its profile group
  std::vector<std::uint32_t> kept_tokens;                // positions of the tokens merged
  bool profile_room_lent = false;

  // Room over this many bytes is freed rather than kept for the next composition.
  static constexpr std::size_t kKeepBytes = std::size_t{32} << 20;
  bool worth_keeping() const;
};

// One record per gap id, in id order: the ids of a and b are ordered together, by position among
// equal ids, so each run of one id starts with its first record, which keeps its id and type and
// takes the weakest status of the run (the earliest of equally weak ones).
std::vector<GapRecord> merge_gaps(std::span<const GapRecord> a, std::span<const GapRecord> b,
                                  KeyOrder& order) {
  const auto record = [&](std::uint32_t i) -> const GapRecord& {
    return i < a.size() ? a[i] : b[i - a.size()];
  };
  const std::size_t count = a.size() + b.size();
  const auto sorted =
      order.sort(count, [&](std::uint32_t i) -> std::string_view { return record(i).gap_id(); });
  std::vector<GapRecord> out;
  out.reserve(count_runs(sorted));
  for (std::size_t i = 0; i < count;) {
    // Merged in id order, the records lie scattered: ask for the ones ahead.
    prefetch_ahead(i, count, [&](std::size_t j) { return &record(sorted[j].position); });
    const GapRecord& gap = record(sorted[i].position);
    const GapStatus* weakest = &gap.status();
    for (++i; i < count && same_key(sorted[i - 1], sorted[i]); ++i) {
      const GapStatus& status = record(sorted[i].position).status();
      if (status.kind() < weakest->kind()) weakest = &status;
    }
    out.emplace_back(gap, *weakest);
  }
  return out;
}

bool same_content(const ProofToken& a, const ProofToken& b) {
  return same_text(a.token_type(), b.token_type()) &&
         same_text(a.schema_version(), b.schema_version()) && a.closes_gaps() == b.closes_gaps() &&
         a.bounds_gaps() == b.bounds_gaps() && a.same_provenance(b) &&
         same_text(a.issuer(), b.issuer()) &&
         // Equal texts are equal values; texts that differ may still spell one value (0.0 and
         // -0.0), which the values themselves decide.
         (a.details_text() == b.details_text() ||
          (!a.details_text().empty() && !b.details_text().empty() &&
           same_json(a.details(), b.details())));
}

// One token per id, in id order. The ids of a and b are ordered together, by position among equal
// ids, so each run of one id holds its tokens in input order: a g1 token replaces the run's holder
// unexamined, and a g2 token must match the holder. The conflict reported is the first in input
// order, as a merge in that order would meet it. The positions of the tokens kept, into a
// followed by b, are written to `kept`.
std::optional<CoreError> merge_tokens(std::span<const ProofToken* const> a,
                                      std::span<const ProofToken* const> b, KeyOrder& order,
                                      std::vector<std::uint32_t>& kept) {
  const auto token = [&](std::size_t i) -> const ProofToken* {
    return i < a.size() ? a[i] : b[i - a.size()];
  };
  const std::size_t count = a.size() + b.size();
  const auto sorted = order.sort(count, [&](std::uint32_t i) -> std::string_view {
    prefetch_ahead(i, count, [&](std::size_t j) { return token(j); });
    return token(i)->token_id();
  });
  kept.clear();
  kept.reserve(count_runs(sorted));
  std::size_t conflict = count;
  for (std::size_t i = 0; i < count;) {
    std::uint32_t holder = sorted[i].position;
    for (++i; i < count && same_key(sorted[i - 1], sorted[i]); ++i) {
      const std::uint32_t next = sorted[i].position;
      if (next < a.size()) {
        holder = next;
      } else if (next < conflict && !same_content(*token(holder), *token(next))) {
        conflict = next;
      }
    }
    kept.push_back(holder);
  }
  if (conflict != count) return token_conflict(token(conflict)->token_id());
  return std::nullopt;
}

using ProfileRef = std::shared_ptr<const Profile>;

// One level's profile while later profiles of that level merge into it.
struct ProfileGroup {
  explicit ProfileGroup(ProfileRef profile)
      : first(std::move(profile)), level(first->permission().name().data()) {}

  ProfileRef first;
  const char* level;                   // the interned name of the group's level
  std::vector<GapRequirement> merged;  // filled on the first change
  // The gap id of each merged requirement, viewing the inputs, which never move (`merged` does),
  // and the first requirement of each id once the list is too long to search (`indexed`); the
  // index grows with the list from then on. The first group merged into takes this room from the
  // composition's reused room and gives it back when spent.
  std::vector<std::string_view> ids;
  RequirementIndex first_by_gap;
  bool has_room = false;
  bool borrowed = false;  // the room came from the composition's reused room
  bool indexed = false;
  bool changed = false;
  std::size_t arriving = 0;  // requirements of the profile being merged, for reserving room

  ProfileGroup(const ProfileGroup&) = delete;
  ProfileGroup& operator=(const ProfileGroup&) = delete;
  // Declared for the vector that holds the groups, which reserves them all up front and so never
  // moves one: the index finds ids through the group's own list.
  ProfileGroup(ProfileGroup&&) = default;

  void take_room(MergeScratch& scratch) {
    if (has_room) return;
    has_room = true;
    if (scratch.profile_room_lent) {
      // A later group: an id list kept from an earlier composition, when there is one.
      if (!scratch.spare_ids.empty()) {
        ids = std::move(scratch.spare_ids.back());
        scratch.spare_ids.pop_back();
        ids.clear();
      }
      return;
    }
    scratch.profile_room_lent = borrowed = true;
    ids = std::move(scratch.profile_ids);
    ids.clear();
    first_by_gap = std::move(scratch.index);
  }
  // Gives back the room taken from `scratch`, once the group is spent.
  void return_room(MergeScratch& scratch) noexcept {
    if (!has_room) return;
    if (!borrowed) {
      try {
        scratch.spare_ids.push_back(std::move(ids));
      } catch (...) {
        // Out of memory: the list goes with the group instead of being kept.
      }
      return;
    }
    scratch.profile_ids = std::move(ids);
    scratch.index = std::move(first_by_gap);
  }

  // Indexes the ids when `incoming` more could make the list too long to search.
  void prepare(std::size_t incoming) {
    const std::size_t needed = ids.size() + incoming;
    if (indexed || needed <= kScanLimit) return;
    indexed = true;
    first_by_gap.reset(needed, {RequirementIdAt{&ids}});
    first_by_gap.emplace_all(  // keeps the first of each id
        ids.size(), [&](std::size_t i) { return ids[i]; },
        [](std::size_t, std::pair<std::uint32_t, bool>) { return true; });
  }

  // The first merged requirement whose gap id is `id`, or merged.size().
  std::size_t find(std::string_view id) const {
    if (!indexed) {
      std::size_t at = 0;
      while (at < ids.size() && !same_text(ids[at], id)) ++at;
      return at;
    }
    const std::uint32_t found = first_by_gap.find(id);
    return found == RequirementIndex::kAbsent ? ids.size() : found;
  }

  void merge(const Profile& later, MergeScratch& scratch) {
    take_room(scratch);
    const auto later_required = later.required_gaps();
    if (ids.empty()) {
      ids.reserve(first->required_gaps().size() + later_required.size());
      for (const GapRequirement& requirement : first->required_gaps()) {
        ids.push_back(requirement.gap_id());
      }
    }
    arriving = later_required.size();
    prepare(later_required.size());
    if (!indexed) {
      for (const GapRequirement& requirement : later_required) {
        merge_one(requirement, find(requirement.gap_id()), 0);
      }
      return;
    }
    first_by_gap.for_each_hashed(
        later_required.size(),
        [&](std::size_t i) -> std::string_view { return later_required[i].gap_id(); },
        [&](std::size_t i, std::string_view id, std::size_t hash) {
          const std::uint32_t found = first_by_gap.find_hashed(id, hash);
          merge_one(later_required[i], found == RequirementIndex::kAbsent ? ids.size() : found,
                    hash);
          return true;
        });
  }
  // Merges `requirement`, whose id is first at `at` (or ids.size() when new) and hashes to
  // `hash` when the ids are indexed.
  void merge_one(const GapRequirement& requirement, std::size_t at, std::size_t hash) {
    if (at < ids.size() && !(current(at).minimum_status() < requirement.minimum_status())) {
      return;  // already as strict: nothing to change
    }
    materialize();
    if (at == ids.size()) {
      ids.push_back(requirement.gap_id());
      if (indexed) {
        first_by_gap.emplace_hashed(requirement.gap_id(), hash,
                                    static_cast<std::uint32_t>(ids.size() - 1));
      }
      merged.push_back(requirement);
      return;
    }
    merged[at] = merged[at].with_minimum(requirement.minimum_status());
  }
  // The requirement at `at` as merged so far.
  const GapRequirement& current(std::size_t at) const {
    return changed ? merged[at] : first->required_gaps()[at];
  }
  // Copies the first profile's requirements once something is about to change; until then the
  // first profile is kept as it is, shared.
  void materialize() {
    if (changed) return;
    const auto required = first->required_gaps();
    merged.reserve(required.size() + arriving);
    merged.assign(required.begin(), required.end());
    changed = true;
  }
  // The merged profile; the group is spent after.
  ProfileRef take_result() {
    return changed ? std::make_shared<const Profile>(first->permission(), std::move(merged))
                   : first;
  }
};

bool MergeScratch::worth_keeping() const {
  std::size_t spare = 0;
  for (const auto& ids : spare_ids) spare += ids.capacity() * sizeof(std::string_view);
  return index.bytes() + order.bytes() + profile_ids.capacity() * sizeof(std::string_view) + spare +
             groups.capacity() * sizeof(ProfileGroup) + ranked.capacity() * sizeof(ranked[0]) +
             group_of_level.bytes() + kept_tokens.capacity() * sizeof(std::uint32_t) <=
         kKeepBytes;
}

std::vector<ProfileRef> merge_profiles(std::span<const ProfileRef> a, std::span<const ProfileRef> b,
                                       const PermissionChain& chain, MergeScratch& scratch) {
  scratch.profile_room_lent = false;
  auto& groups = scratch.groups;
  // However the merge ends, out of memory included, the groups are dropped and the room they took
  // goes back, so that the reused scratch keeps no input's profiles alive.
  struct Release {
    MergeScratch& scratch;
    ~Release() {
      for (ProfileGroup& group : scratch.groups) group.return_room(scratch);
      scratch.groups.clear();
    }
  } release{scratch};
  // Room for a group per profile, made up front: groups never move once made.
  groups.clear();
  groups.reserve(a.size() + b.size());
  // Level names are interned, so one level's profiles share its name's address: a few groups are
  // searched for it, many are indexed by it. A profile of no level (no name) joins no group.
  const bool scan = a.size() + b.size() <= kScanLimit;
  auto& at = scratch.group_of_level;
  if (!scan) at.reset(a.size() + b.size());
  for (const auto side : {a, b}) {
    for (const ProfileRef& profile : side) {
      const char* level = profile->permission().name().data();
      auto group = static_cast<std::uint32_t>(groups.size());
      if (level != nullptr && scan) {
        for (std::uint32_t i = 0; i < groups.size(); ++i) {
          if (groups[i].level == level) group = i;
        }
      } else if (level != nullptr) {
        group = at.insert(level, group).first->value;
      }
      if (group == groups.size()) {
        groups.emplace_back(profile);
      } else {
        groups[group].merge(*profile, scratch);
      }
    }
  }
  // Highest rank first; a level the chain lacks ranks as 255 would. Ties keep the order the
  // groups came in, as a stable sort would, without a stable sort's scratch buffer.
  auto& ranked = scratch.ranked;
  ranked.clear();
  for (std::uint32_t group = 0; group < groups.size(); ++group) {
    const auto rank = chain.rank(groups[group].first->permission());
    ranked.emplace_back(rank ? *rank : 255, group);
  }
  std::sort(ranked.begin(), ranked.end(), [](const auto& x, const auto& y) {
    return x.first != y.first ? x.first > y.first : x.second < y.second;
  });
  std::vector<ProfileRef> out;
  out.reserve(ranked.size());
  for (const auto& [rank, group] : ranked) out.push_back(groups[group].take_result());
  return out;
}

std::expected<Permission, CoreError> meet(const PermissionChain& chain, Permission a,
                                          Permission b) {
  auto lower = chain.meet(a, b);
  if (!lower) return std::unexpected(chain_failure(lower.error()));
  return *lower;
}

bool integer(nlohmann::json::value_t type) {
  return type == nlohmann::json::value_t::number_integer ||
         type == nlohmann::json::value_t::number_unsigned;
}

}  // namespace

bool same_json(const nlohmann::json& a, const nlohmann::json& b) {
  using Type = nlohmann::json::value_t;
  if (integer(a.type()) && integer(b.type())) {
    if (a.type() == b.type()) return a == b;
    const auto& signed_one = a.type() == Type::number_integer ? a : b;
    const auto& unsigned_one = a.type() == Type::number_integer ? b : a;
    const auto value = signed_one.get<std::int64_t>();
    return value >= 0 && static_cast<std::uint64_t>(value) == unsigned_one.get<std::uint64_t>();
  }
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case Type::array: {
      if (a.size() != b.size()) return false;
      for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same_json(a[i], b[i])) return false;
      }
      return true;
    }
    case Type::object: {
      if (a.size() != b.size()) return false;
      for (auto it = a.begin(); it != a.end(); ++it) {
        const auto other = b.find(it.key());
        if (other == b.end() || !same_json(it.value(), *other)) return false;
      }
      return true;
    }
    default:
      return a == b;
  }
}

std::expected<std::shared_ptr<const ProofContext>, CoreError> compose_contexts(
    const std::shared_ptr<const ProofContext>& g1, const std::shared_ptr<const ProofContext>& g2,
    const PermissionChain& chain, const Clock& clock, events::Sink* sink) {
  const ProofContext& a = *g1;
  const ProofContext& b = *g2;
  if (a.allowed_use() != b.allowed_use()) return std::unexpected(use_conflict());
  if (!fits_chain(a, chain) || !fits_chain(b, chain)) return std::unexpected(chain_mismatch());

  const Permission bottom = chain.role(ChainRole::Bottom);
  const Permission top = chain.role(ChainRole::Top);
  const auto own_level = [&](const std::shared_ptr<const ProofContext>& context) {
    const auto level = compile_permission(context, chain, clock, sink);
    return level ? *level : bottom;
  };
  const Permission p1 = own_level(g1);
  const Permission p2 = own_level(g2);

  ProofContextFields f;
  {
    auto ceiling = meet(chain, p1, p2);
    if (ceiling) ceiling = meet(chain, *ceiling, a.permission_ceiling().value_or(top));
    if (ceiling) ceiling = meet(chain, *ceiling, b.permission_ceiling().value_or(top));
    if (!ceiling) return std::unexpected(std::move(ceiling.error()));
    f.permission_ceiling = *ceiling;
  }
  f.membership = a.membership().is_in_class() ? b.membership() : a.membership();
  f.disallowed_uses = merge_uses(a.disallowed_uses(), b.disallowed_uses());
  f.scope = Scope(intersect(a.scope().allowed_candidates(), b.scope().allowed_candidates()),
                  intersect(a.scope().allowed_paths(), b.scope().allowed_paths()),
                  intersect(a.scope().allowed_tools(), b.scope().allowed_tools()),
                  intersect(a.scope().allowed_resources(), b.scope().allowed_resources()));
  f.expiry = earlier(a.expiry(), b.expiry());
  {
    auto authority =
        meet(chain, a.authority_ceiling().value_or(top), b.authority_ceiling().value_or(top));
    if (!authority) return std::unexpected(std::move(authority.error()));
    f.authority_ceiling = *authority;
  }
  Spare<MergeScratch> scratch;
  f.gaps = merge_gaps(a.gaps(), b.gaps(), scratch->order);
  // The inputs keep the tokens alive (or what keeps a composed input's tokens alive).
  if (auto error = merge_tokens(a.tokens().pointers(), b.tokens().pointers(), scratch->order,
                                scratch->kept_tokens)) {
    return std::unexpected(std::move(*error));
  }
  f.tokens = TokenList::drawn(a.tokens(), g1, b.tokens(), g2, scratch->kept_tokens);
  f.profiles = merge_profiles(a.profiles(), b.profiles(), chain, *scratch);
  f.context_fingerprint = a.context_fingerprint() + "+" + b.context_fingerprint();
  f.claim_id = a.claim_id();
  f.candidate_id = a.candidate_id();
  f.context_id = a.context_id();
  f.allowed_use = a.allowed_use();
  // The ceilings name levels of `chain`; under another chain the same names could sit higher, so
  // the result is bound to the chain it was composed under when no input binds it already.
  f.expected_chain_hash = a.expected_chain_hash()   ? a.expected_chain_hash()
                          : b.expected_chain_hash() ? b.expected_chain_hash()
                                                    : std::optional<ChainHash>(chain.hash());
  return ProofContext::shared_with_identity_of(std::move(f), a);
}

}  // namespace oq
