#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "chain.h"
#include "clock.h"
#include "context.h"
#include "events.h"
#include "judgment.h"

namespace oq {

// Where the compiler's events come from.
inline constexpr std::string_view kCompilerTarget = "ostrel_quorvane_core::compiler";
inline constexpr std::string_view kCompilerFile = "ostrel-quorvane-core/src/compiler";

// What the search saw among the tokens it consulted.
struct ScreeningFlags {
  bool provenance_mismatch = false;  // a token carried another context's provenance hash
  bool dead_credential = false;      // a token with the right provenance was not valid
};

// Lookups over one context, built once per compilation so that every lookup is constant time.
// Holds views into the context, which must outlive it.
class ContextIndex {
 public:
  // A token that names a gap, and whether it closes it (otherwise it only bounds it).
  struct TokenUse {
    const ProofToken* token;
    std::uint32_t position;  // in the context's token list
    bool closes;
  };

  // Indexes the gaps by id, keeping the first of each id; false names the first repeated id.
  bool add_gaps(std::span<const GapRecord> gaps, std::string_view& duplicate);
  // Indexes `profile` under its level name; false when that name already has one.
  bool add_profile(const Profile& profile);
  // Indexes the tokens that name each gap, in token order, each token once per gap.
  void add_tokens(std::span<const std::shared_ptr<const ProofToken>> tokens);

  // The first gap with `id`, or null.
  const GapRecord* gap(std::string_view id) const;
  // The profile for the level named exactly `level`, or null.
  const Profile* profile(std::string_view level) const;
  // The tokens that name gap `id` in their closes or bounds lists, in token order.
  std::span<const TokenUse> tokens_for(std::string_view id) const;

 private:
  std::unordered_map<std::string_view, const GapRecord*> gaps_;
  std::unordered_map<std::string_view, const Profile*> profiles_;
  std::unordered_map<std::string_view, std::vector<TokenUse>> tokens_;
};

// The starting level of an in-class, unexpired context, its "descending_search" step and what it
// saw among the tokens.
struct SearchOutcome {
  DerivationStep step;
  ScreeningFlags flags;
};

// Walks `chain` from the top and takes the first level whose profile the context's gaps, improved
// by its usable tokens, satisfy; Unsatisfied when some profile failed, Bottom when none exists.
// `provenance_hash` is the context's own; the clock is read for each token with an expiry.
SearchOutcome descending_search(const ContextIndex& index, const PermissionChain& chain,
                                Permission bottom, Permission unsatisfied,
                                std::string_view provenance_hash, const Clock& clock);

}  // namespace oq
