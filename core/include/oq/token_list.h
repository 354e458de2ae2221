#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <vector>

#include "oq/token.h"

namespace oq {

// A context's proof tokens in order, and what keeps them alive. The list reads as plain pointers,
// so that walking it reads 8 bytes a token and copying a position touches no count. Tokens given
// to a context keep their own counts, held beside the pointers. Tokens drawn from two other lists
// (a composition's) are kept alive together by one keeper of both inputs, so that building and
// dropping a composition of many tokens writes one count instead of two per token, scattered in
// memory. Immutable once built.
class TokenList {
 public:
  using Ref = std::shared_ptr<const ProofToken>;

  TokenList() = default;
  // Tokens that keep their own counts.
  TokenList(std::vector<Ref> tokens);  // NOLINT: a list of tokens
  TokenList(std::initializer_list<Ref> tokens) : TokenList(std::vector<Ref>(tokens)) {}

  // Building a list of given tokens. A drawn list first becomes one: each of its tokens then
  // counts on the keeper by itself, so that a token added after is kept by its own count.
  void reserve(std::size_t count) {
    own();
    tokens_.reserve(count);
    owners_.reserve(count);
  }
  void push_back(Ref token) {
    own();
    tokens_.push_back(token.get());
    owners_.push_back(std::move(token));
  }
  void clear() { *this = TokenList(); }

  // The tokens at `picks`, positions into `a` followed by `b`, in that order. They share one
  // keeper, holding for each input the keeper it was itself drawn with, or else its owner (what
  // keeps that list alive, such as the context holding it). So composing again and again keeps
  // the original inputs alive, not every list drawn in between.
  static TokenList drawn(const TokenList& a, std::shared_ptr<const void> a_owner,
                         const TokenList& b, std::shared_ptr<const void> b_owner,
                         std::span<const std::uint32_t> picks);

  std::size_t size() const { return tokens_.size(); }
  bool empty() const { return tokens_.empty(); }
  const ProofToken* operator[](std::size_t i) const { return tokens_[i]; }
  auto begin() const { return tokens_.begin(); }
  auto end() const { return tokens_.end(); }
  std::span<const ProofToken* const> pointers() const { return tokens_; }
  // The token at `i`, shared: with its own count, or with the keeper's for a drawn list.
  Ref share(std::size_t i) const;

 private:
  struct Keeper;

  void own() {
    if (keeper_) own_drawn();
  }
  void own_drawn();

  std::vector<const ProofToken*> tokens_;
  std::vector<Ref> owners_;               // the given tokens' own counts; empty when drawn
  std::shared_ptr<const Keeper> keeper_;  // null unless the tokens were drawn from other lists
};

}  // namespace oq
