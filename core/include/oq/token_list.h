#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <vector>

#include "oq/token.h"

namespace oq {

// A context's proof tokens in order, each shared, and what keeps them alive. Tokens given to a
// context keep their own counts. Tokens drawn from two other lists (a composition's) all share
// the count of one keeper of both inputs, so that building and dropping a composition of many
// tokens writes one count instead of one per token, scattered in memory. Immutable once built.
class TokenList {
 public:
  using Ref = std::shared_ptr<const ProofToken>;

  TokenList() = default;
  // Tokens that keep their own counts.
  TokenList(std::vector<Ref> tokens) : refs_(std::move(tokens)) {}  // NOLINT: a list of tokens
  TokenList(std::initializer_list<Ref> tokens) : refs_(tokens) {}

  // Building a list of given tokens.
  void reserve(std::size_t count) { refs_.reserve(count); }
  void push_back(Ref token) { refs_.push_back(std::move(token)); }
  void clear() { *this = TokenList(); }

  // The tokens at `picks`, positions into `a` followed by `b`, in that order. They share one
  // count: that of a keeper holding, for each input, the keeper it was itself drawn with, or else
  // its owner (what keeps that list alive, such as the context holding it). So composing again
  // and again keeps the original inputs alive, not every list drawn in between.
  static TokenList drawn(const TokenList& a, std::shared_ptr<const void> a_owner,
                         const TokenList& b, std::shared_ptr<const void> b_owner,
                         std::span<const std::uint32_t> picks);

  std::size_t size() const { return refs_.size(); }
  bool empty() const { return refs_.empty(); }
  const Ref& operator[](std::size_t i) const { return refs_[i]; }
  const Ref& back() const { return refs_.back(); }
  auto begin() const { return refs_.begin(); }
  auto end() const { return refs_.end(); }
  std::span<const Ref> refs() const { return refs_; }

 private:
  struct Keeper;

  std::vector<Ref> refs_;
  std::shared_ptr<const Keeper> keeper_;  // null unless the tokens were drawn from other lists
};

}  // namespace oq
