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
  // Releasing the inputs themselves asks for no room: only keepers met below them fill the list.
  std::vector<std::shared_ptr<const void>> pending;
  draining = &pending;
  for (auto& keep : keeps) keep.reset();  // may destroy a keeper, which appends to `pending`
  while (!pending.empty()) {
    std::shared_ptr<const void> last = std::move(pending.back());
    pending.pop_back();
    last.reset();  // may destroy a keeper, which appends to `pending`
  }
  draining = nullptr;
}

TokenList::TokenList(std::vector<Ref> tokens) : owners_(std::move(tokens)) {
  tokens_.reserve(owners_.size());
  for (const Ref& token : owners_) tokens_.push_back(token.get());
}

void TokenList::own_drawn() {
  owners_.reserve(tokens_.size());
  for (const ProofToken* token : tokens_) owners_.emplace_back(keeper_, token);
  keeper_.reset();
}

TokenList::Ref TokenList::share(std::size_t i) const {
  return keeper_ ? Ref(keeper_, tokens_[i]) : owners_[i];
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
  out.tokens_.reserve(picks.size());
  for (const std::uint32_t position : picks) {
    out.tokens_.push_back(position < a.size() ? a[position] : b[position - a.size()]);
  }
  return out;
}

}  // namespace oq
