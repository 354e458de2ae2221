#pragma once

// A Merkle tree over a log of entries, hashed as RFC 9162 section 2.1 hashes one: a leaf is
// SHA-256(0x00 || its bytes), an interior node SHA-256(0x01 || left || right), and a tree of n
// leaves splits at the largest power of two below n. Its roots and proofs are made from the
// hashes of complete subtrees, which a store keeps, so that each takes O(log n) of them.
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "oq/digest.h"

namespace oq::merkle {

using Hash = Sha256Digest;

// The hash of a leaf holding `data`.
Hash leaf_hash(std::string_view data);
// The hash of an interior node.
Hash node_hash(const Hash& left, const Hash& right);

// The hash of the complete subtree of 2^level leaves starting at leaf `start` (a multiple of
// 2^level): what a store keeps and hands to the functions below.
using Subtrees = std::function<Hash(std::uint64_t start, unsigned level)>;

// Where a store keeps the complete subtree of 2^level leaves starting at leaf `start`: its
// position in an in-order walk of the tree (leaf i at 2i, their parents between them), so that
// every subtree has one number and those of one append lie close together.
std::uint64_t node_key(std::uint64_t start, unsigned level);

// The complete subtrees that make up the first `size` leaves, largest first, as (start, level):
// what appending to a tree of `size` leaves needs besides the new leaves.
std::vector<std::pair<std::uint64_t, unsigned>> frontier(std::uint64_t size);

// Appends `leaves` to the tree of `size` leaves whose frontier hashes (in the order `frontier`
// gives them) are `edge`; calls `made(start, level, hash)` for every complete subtree the new
// leaves make, each leaf included, in the order they are made. False, with nothing made, when
// `edge` does not hold one hash for each subtree of the frontier.
bool append(std::uint64_t size, std::span<const Hash> edge, std::span<const Hash> leaves,
            const std::function<void(std::uint64_t, unsigned, const Hash&)>& made);

// The root of the tree of the first `size` leaves (the hash of no bytes for an empty tree).
Hash root(std::uint64_t size, const Subtrees& subtrees);
// The inclusion proof of leaf `index` in the tree of `size` leaves (index < size).
std::vector<Hash> inclusion_proof(std::uint64_t index, std::uint64_t size,
                                  const Subtrees& subtrees);
// The consistency proof between the trees of `old_size` and `size` leaves (old_size <= size).
std::vector<Hash> consistency_proof(std::uint64_t old_size, std::uint64_t size,
                                    const Subtrees& subtrees);

// Whether `proof` shows the leaf of hash `leaf` at `index` in the tree of `size` leaves whose
// root is `root`.
bool verify_inclusion(std::uint64_t index, std::uint64_t size, const Hash& leaf,
                      std::span<const Hash> proof, const Hash& root);
// Whether `proof` shows that the tree of `size` leaves and root `root` extends the tree of
// `old_size` leaves and root `old_root`.
bool verify_consistency(std::uint64_t old_size, std::uint64_t size, const Hash& old_root,
                        const Hash& root, std::span<const Hash> proof);

}  // namespace oq::merkle
