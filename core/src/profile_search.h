#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "chain.h"
#include "clock.h"
#include "context.h"
#include "core_error.h"
#include "events.h"
#include "flat_index.h"
#include "judgment.h"
#include "spare.h"

namespace oq {

// Where the compiler's events come from.
inline constexpr std::string_view kCompilerTarget = "ostrel_quorvane_core::compiler";
inline constexpr std::string_view kCompilerFile = "ostrel-quorvane-core/src/compiler";

// What the search saw among the tokens it consulted.
struct ScreeningFlags {
  bool provenance_mismatch = false;  // a token carried another context's provenance hash
  bool dead_credential = false;      // a token with the right provenance was not valid
};

// Lookups over one context, built once per compilation so that every lookup costs constant time:
// gap id to first gap, gap to the tokens that name it, chain rank to profile. Holds views into the
// context and chain, which must outlive it. Its storage is reused by the next compilation, so a
// steady stream of compilations allocates nothing here.
class ContextIndex {
 public:
  // A token list entry that names a gap, and whether it closes it (otherwise it only bounds it).
  struct TokenUse {
    std::uint32_t position;  // in the context's token list
    bool closes;
  };
  static constexpr std::uint32_t kNoGap = FlatIndex::kAbsent;

  // What the search needs to know of a token, gathered while indexing so that the search reads a
  // dense array instead of the tokens themselves.
  struct TokenFacts {
    enum class Kind : std::uint8_t { ForeignProvenance, Dead, Usable };
    Kind kind;
    bool expires;
    bool negative_control;
    UtcTime expires_at;  // meaningful when `expires`
  };
  // A gap id named by a token: the gap's position (or kNoGap), the token's, and whether the
  // token closes the gap rather than bounds it.
  struct NamedGap {
    std::uint32_t gap;
    std::uint32_t token;
    bool closes;
  };

  ContextIndex();
  ~ContextIndex();
  ContextIndex(const ContextIndex&) = delete;
  ContextIndex& operator=(const ContextIndex&) = delete;

  // Indexes the gaps by id, keeping the first of each id; false names the first repeated id.
  bool add_gaps(std::span<const GapRecord> gaps, std::string_view& duplicate);
  // A requirement as the search reads it: the gap it names (kNoGap for a disjunction) and the
  // minimum status, so that the search need not read the requirement or look the gap up again.
  struct NotedRequirement {
    std::uint32_t gap;
    GapKind minimum;
  };
  // Remembers, in profile and requirement order, the gap position a requirement names (kNoGap
  // for a disjunction) and its minimum.
  void note_requirement(std::uint32_t position, GapKind minimum);
  // Counts requirements as validation meets them: each profile requirement, and each arm of each
  // distinct disjunction.
  void count_requirements(std::size_t count) { requirement_slots_ += count; }
  std::size_t requirement_slots() const { return requirement_slots_; }
  // Makes room for the profiles of a chain of `levels` levels.
  void reserve_profiles(std::size_t levels);
  // Files `profile` under the chain rank of its level, its requirements' gap positions noted
  // from `first_noted` on; false when that rank already has one.
  bool add_profile(std::uint8_t rank, const Profile* profile, std::uint32_t first_noted);
  // Indexes, for each gap, the token list entries that name it, in token order, and what each
  // token is to a context whose provenance digest is `provenance`. An entry that names a gap
  // several times counts once; closing wins over bounding.
  void add_tokens(std::span<const std::shared_ptr<const ProofToken>> tokens,
                  const Sha256Digest& provenance);
  const TokenFacts& facts(std::uint32_t position) const;

  // The position of the first gap with `id`, or kNoGap.
  std::uint32_t gap(std::string_view id) const;
  // The positions of the gaps with ids 0..count-1, given in order to `found(i, position)` until
  // it returns false; faster than one `gap` call each for many ids.
  template <class IdAt, class Found>
  void find_gaps(std::size_t count, IdAt id_at, Found found) const {
    gap_index().find_all(count, id_at, found);
  }
  // The status kind of the gap at `position`, from a dense copy rather than the record.
  GapKind gap_kind(std::uint32_t position) const;
  std::size_t gap_count() const { return gaps_.size(); }
  // The profile filed under chain rank `rank`, or null.
  const Profile* profile_at(std::size_t rank) const;
  // The requirements noted for the profile filed under `rank`, in its order.
  std::span<const NotedRequirement> noted_requirements(std::size_t rank) const;
  // The token entries that name the gap at `position`, in token order.
  std::span<const TokenUse> tokens_for(std::uint32_t position) const;
  // Reusable room for the token positions a derivation collects; empty, with capacity.
  std::vector<std::uint32_t>& scratch_refs();

  struct Storage;

 private:
  // A gap's id by its position in the context.
  struct GapIdOf {
    const GapRecord* gaps = nullptr;
    std::string_view operator()(std::uint32_t position) const { return gaps[position].gap_id(); }
  };
  const PositionIndex<GapIdOf>& gap_index() const;

  std::span<const GapRecord> gaps_;
  std::size_t requirement_slots_ = 0;
  Spare<Storage> storage_;
};

// The starting level of an in-class, unexpired context, its "descending_search" step and what it
// saw among the tokens.
struct SearchOutcome {
  DerivationStep step;
  ScreeningFlags flags;
};

// The work one search may do. A requirement shared among disjunctions is evaluated again each
// time a walk reaches it, and the tokens it consults are listed again each time, so a few shared
// disjunctions nested in one another could ask for exponential work; past either budget the
// search stops and the context is refused as malformed. A search visits each requirement of a
// context without shared disjunctions at most once, so the visits allowed are one per requirement
// (ContextIndex::requirement_slots) and kSpareRequirementVisits more. The consulted-token entries
// are bounded by what a derivation can hold: 256 MiB of token positions.
inline constexpr std::size_t kSpareRequirementVisits = std::size_t{1} << 22;
inline constexpr std::size_t kMaxConsultedTokens = std::size_t{1} << 26;

// Walks `chain` from the top and takes the first level whose profile the context's gaps, improved
// by its usable tokens, satisfy; Unsatisfied when some profile failed, Bottom when none exists.
// The used token positions and arm labels are appended to `token_refs` and `arm_labels`; the
// clock is read for each consulted token with an expiry. A malformed-context error when the
// search outgrows its budget of requirement visits or kMaxConsultedTokens.
std::expected<SearchOutcome, CoreError> descending_search(const ContextIndex& index,
                                                          const PermissionChain& chain,
                                                          Permission bottom, Permission unsatisfied,
                                                          const Clock& clock,
                                                          std::vector<std::uint32_t>& token_refs,
                                                          std::vector<std::string>& arm_labels);

}  // namespace oq
