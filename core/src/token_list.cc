#include "oq/token_list.h"

#include <array>

namespace oq {

// What keeps a drawn list's tokens alive: its inputs' keepers or owners. Keepers of keepers form a
// line as long as the compositions that built it; the destructor releases such a line one keeper
// after another instead of recursing, so no depth of composition can exhaust the stack.
struct TokenList::Keeper {
  std::array<std::shared_ptr<const void>, 2> keeps;  // one per input

  explicit Keeper(std::array<std::shared_ptr<const void>, 2> inputs) : keeps(std::move(inputs)) {}
  Keeper(const Keeper&) = delete;
  Keeper& operator=(const Keeper&) = delete;
  ~Keeper();
};

TokenList::Keeper::~Keeper() {
  // The outermost keeper being destroyed on this thread drains a list of what the keepers below
  // it held; a keeper destroyed while the list is drained only adds its inputs to it.
  thread_local std::vector<std::shared_ptr<const void>>* draining = nullptr;
  if (draining) {
    for (auto& keep : keeps) {
      if (!keep) continue;
      try {
        draining->push_back(std::move(keep));
      } catch (...) {
        keep.reset();  // out of memory: release it here, recursing as a last resort
      }
    }
    return;
  }
  std::vector<std::shared_ptr<const void>> pending;
  try {
    pending.reserve(keeps.size());
  } catch (...) {
    return;  // out of memory: the members release what they keep, recursing as a last resort
  }
  draining = &pending;
  for (auto& keep : keeps) {
    if (keep) pending.push_back(std::move(keep));
  }
  while (!pending.empty()) {
    std::shared_ptr<const void> last = std::move(pending.back());
    pending.pop_back();
    last.reset();  // may destroy a keeper, which appends to `pending`
  }
  draining = nullptr;
}

TokenList TokenList::drawn(const TokenList& a, std::shared_ptr<const void> a_owner,
                           const TokenList& b, std::shared_ptr<const void> b_owner,
                           std::span<const std::uint32_t> picks) {
  const auto keep = [](const TokenList& input, std::shared_ptr<const void> owner) {
    return input.keeper_ ? std::shared_ptr<const void>(input.keeper_) : std::move(owner);
  };
  TokenList out;
  out.keeper_ = std::make_shared<const Keeper>(
      std::array{keep(a, std::move(a_owner)), keep(b, std::move(b_owner))});
  out.refs_.reserve(picks.size());
  for (const std::uint32_t position : picks) {
    const ProofToken* token =
        position < a.size() ? a[position].get() : b[position - a.size()].get();
    out.refs_.emplace_back(out.keeper_, token);
  }
  return out;
}

}  // namespace oq
