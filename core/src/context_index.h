#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "flat_index.h"
#include "oq/chain.h"
#include "oq/context.h"
#include "oq/core_error.h"
#include "oq/gap.h"
#include "spare.h"

namespace oq {

struct SearchRoom;

// A context checked against a chain and indexed for its compilation, so that every lookup of the
// search costs constant time: gap id to first gap, gap to the tokens that name it, chain rank to
// profile, and what each token is to this context. Holds views into the context and the chain,
// which must outlive it. Its storage is reused by the next compilation, so a steady stream of
// compilations allocates nothing here.
class ContextIndex {
 public:
  static constexpr std::uint32_t kNoGap = UINT32_MAX;

  // A token list entry that names a gap, and whether it closes it (otherwise it only bounds it).
  struct TokenUse {
    std::uint32_t position;  // in the context's token list
    bool closes;
  };
  // What the search needs to know of a token, gathered while indexing so that the search reads a
  // dense array instead of the tokens themselves.
  struct TokenFacts {
    enum class Kind : std::uint8_t { ForeignProvenance, Dead, Usable };
    Kind kind;
    bool expires;
    bool negative_control;
    UtcTime expires_at;  // meaningful when `expires`
  };
  // A profile requirement as the search reads it: the gap it names (kNoGap for a disjunction)
  // and its minimum status.
  struct NotedRequirement {
    std::uint32_t gap;
    GapKind minimum;
  };

  // Checks `context` against `chain` in the fixed order (use, expected chain hash, gap ids, each
  // profile's level and requirements, one profile per level, the ceilings) and indexes it; the
  // first failed check is the error.
  static std::expected<ContextIndex, CoreError> build(const ProofContext& context,
                                                      const PermissionChain& chain);

  ContextIndex(ContextIndex&&) noexcept = default;
  ContextIndex& operator=(ContextIndex&&) noexcept = default;
  ~ContextIndex();

  // The position of the first gap with `id`, or kNoGap.
  std::uint32_t gap(std::string_view id) const;
  // The status kind of the gap at `position`, from a dense copy rather than the record.
  GapKind gap_kind(std::uint32_t position) const;
  std::size_t gap_count() const;
  // The profile filed under chain rank `rank`, or null.
  const Profile* profile_at(std::size_t rank) const;
  // The requirements of the profile filed under `rank`, as noted, in its order.
  std::span<const NotedRequirement> noted_requirements(std::size_t rank) const;
  // Requirement slots: each profile requirement and each arm of each distinct disjunction.
  std::size_t requirement_slots() const;
  // The token entries that name the gap at `position`, in token order; an entry that names a
  // gap several times counts once, and closing wins over bounding.
  std::span<const TokenUse> tokens_for(std::uint32_t position) const;
  // Per token, in the context's order.
  std::span<const TokenFacts> facts() const;
  // Reusable room for the token positions a derivation collects; empty, with capacity.
  std::vector<std::uint32_t>& scratch_refs();
  // Two more lists of token positions (`which` is 0 or 1), for a phase's own use; empty.
  std::vector<std::uint32_t>& scratch_positions(int which);
  // The profile search's reusable room.
  SearchRoom& search_room();

  struct Storage;

 private:
  ContextIndex();

  Spare<Storage> storage_;
};

}  // namespace oq
