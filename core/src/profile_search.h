#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "context_index.h"
#include "oq/chain.h"
#include "oq/clock.h"
#include "oq/core_error.h"
#include "oq/events.h"
#include "oq/judgment.h"
#include "pointer_set.h"

namespace oq {

// Room a search reuses from one compilation to the next, kept with the index's storage.
struct SearchRoom {
  struct Frame {
    const GapRequirement* node;
    std::size_t next_arm;
    std::size_t used_before;
  };
  // Disjunctions that failed without using a token: evaluating them again would change nothing,
  // so shared arms are not walked twice.
  PointerSet inert_failures;
  std::vector<Frame> stack;  // room for fired_arm's walk
  // Gaps none of whose tokens is usable: their effective status is their own.
  std::vector<bool> inert_gaps;

  // The room's size, counted with the index's storage it is kept with.
  std::size_t bytes() const {
    return inert_failures.bytes() + stack.capacity() * sizeof(Frame) + inert_gaps.capacity() / 8;
  }
};

// What the search saw among the tokens it consulted.
struct ScreeningFlags {
  bool provenance_mismatch = false;  // a token carried another context's provenance hash
  bool dead_credential = false;      // a token with the right provenance was not valid
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
// search outgrows its budget of requirement visits or kMaxConsultedTokens. Its events go to
// `sink`, if any.
std::expected<SearchOutcome, CoreError> descending_search(ContextIndex& index,
                                                          const PermissionChain& chain,
                                                          Permission bottom, Permission unsatisfied,
                                                          const Clock& clock, events::Sink* sink,
                                                          std::vector<std::uint32_t>& token_refs,
                                                          std::vector<std::string>& arm_labels);

}  // namespace oq
