#include "oq/merkle.h"

#include <array>
#include <bit>
#include <cstring>
#include <string>

namespace oq::merkle {

namespace {

// The largest power of two below n (n > 1).
std::uint64_t split(std::uint64_t n) { return std::bit_floor(n - 1); }

// The hash of the leaves [start, start + n), n >= 1: a complete aligned subtree is looked up,
// any other range split as the tree splits it, so that O(log n) subtrees are asked for.
Hash range(std::uint64_t start, std::uint64_t n, const Subtrees& subtrees) {
  if (std::has_single_bit(n) && start % n == 0) {
    return subtrees(start, static_cast<unsigned>(std::countr_zero(n)));
  }
  const std::uint64_t k = split(n);
  return node_hash(range(start, k, subtrees), range(start + k, n - k, subtrees));
}

// PATH(m, D[start:start + n]) of RFC 9162 section 2.1.3.1, appended to `out`.
void path(std::uint64_t m, std::uint64_t start, std::uint64_t n, const Subtrees& subtrees,
          std::vector<Hash>& out) {
  if (n <= 1) return;
  const std::uint64_t k = split(n);
  if (m < k) {
    path(m, start, k, subtrees, out);
    out.push_back(range(start + k, n - k, subtrees));
  } else {
    path(m - k, start + k, n - k, subtrees, out);
    out.push_back(range(start, k, subtrees));
  }
}

// SUBPROOF(m, D[start:start + n], whole) of RFC 9162 section 2.1.4.1, appended to `out`.
void subproof(std::uint64_t m, std::uint64_t start, std::uint64_t n, bool whole,
              const Subtrees& subtrees, std::vector<Hash>& out) {
  if (m == n) {
    if (!whole) out.push_back(range(start, n, subtrees));
    return;
  }
  const std::uint64_t k = split(n);
  if (m <= k) {
    subproof(m, start, k, whole, subtrees, out);
    out.push_back(range(start + k, n - k, subtrees));
  } else {
    subproof(m - k, start + k, n - k, false, subtrees, out);
    out.push_back(range(start, k, subtrees));
  }
}

bool odd(std::uint64_t x) { return (x & 1u) != 0; }

// Right-shifts both positions together until `fn` is odd or 0: past the levels where the node
// on the path is its parent's only child.
void climb(std::uint64_t& fn, std::uint64_t& sn) {
  while (!odd(fn) && fn != 0) {
    fn >>= 1;
    sn >>= 1;
  }
}

}  // namespace

Hash leaf_hash(std::string_view data) {
  // The leaf's prefix and bytes hashed in turn, the bytes never copied.
  const std::string_view parts[] = {std::string_view(), data};
  return sha256_joined(parts, '\0');
}

Hash node_hash(const Hash& left, const Hash& right) {
  std::array<char, 1 + 2 * sizeof(Hash)> bytes{};
  bytes[0] = '\1';
  std::memcpy(bytes.data() + 1, left.data(), left.size());
  std::memcpy(bytes.data() + 1 + left.size(), right.data(), right.size());
  return sha256(std::string_view(bytes.data(), bytes.size()));
}

std::uint64_t node_key(std::uint64_t start, unsigned level) {
  return 2 * start + (std::uint64_t{1} << level) - 1;
}

std::vector<std::pair<std::uint64_t, unsigned>> frontier(std::uint64_t size) {
  std::vector<std::pair<std::uint64_t, unsigned>> out;
  std::uint64_t start = 0;
  for (int level = 63; level >= 0; --level) {
    const std::uint64_t width = std::uint64_t{1} << level;
    if ((size & width) != 0) {
      out.emplace_back(start, static_cast<unsigned>(level));
      start += width;
    }
  }
  return out;
}

bool append(std::uint64_t size, std::span<const Hash> edge, std::span<const Hash> leaves,
            const std::function<void(std::uint64_t, unsigned, const Hash&)>& made) {
  if (edge.size() != static_cast<std::size_t>(std::popcount(size))) return false;
  // The right edge as a stack, smallest subtree on top: each new leaf merges with the subtrees
  // of its own size below it, as carrying does in binary addition.
  std::vector<Hash> stack(edge.begin(), edge.end());
  for (const Hash& leaf : leaves) {
    made(size, 0, leaf);
    stack.push_back(leaf);
    std::uint64_t start = size;
    unsigned level = 0;
    for (std::uint64_t carry = size; (carry & 1u) != 0; carry >>= 1) {
      const Hash right = stack.back();
      stack.pop_back();
      stack.back() = node_hash(stack.back(), right);
      ++level;
      start -= std::uint64_t{1} << (level - 1);
      made(start, level, stack.back());
    }
    ++size;
  }
  return true;
}

Hash root(std::uint64_t size, const Subtrees& subtrees) {
  return size == 0 ? sha256("") : range(0, size, subtrees);
}

std::vector<Hash> inclusion_proof(std::uint64_t index, std::uint64_t size,
                                  const Subtrees& subtrees) {
  std::vector<Hash> out;
  if (index < size) path(index, 0, size, subtrees, out);
  return out;
}

std::vector<Hash> consistency_proof(std::uint64_t old_size, std::uint64_t size,
                                    const Subtrees& subtrees) {
  std::vector<Hash> out;
  if (0 < old_size && old_size < size) subproof(old_size, 0, size, true, subtrees, out);
  return out;
}

// RFC 9162 section 2.1.3.2.
bool verify_inclusion(std::uint64_t index, std::uint64_t size, const Hash& leaf,
                      std::span<const Hash> proof, const Hash& root) {
  if (index >= size) return false;
  std::uint64_t fn = index, sn = size - 1;
  Hash r = leaf;
  for (const Hash& p : proof) {
    if (sn == 0) return false;
    if (odd(fn) || fn == sn) {
      r = node_hash(p, r);
      climb(fn, sn);
    } else {
      r = node_hash(r, p);
    }
    fn >>= 1;
    sn >>= 1;
  }
  return sn == 0 && r == root;
}

// RFC 9162 section 2.1.4.2, with the trees of equal size and the empty tree, which it leaves
// aside: a tree is consistent with itself with no proof, and every tree extends the empty one.
bool verify_consistency(std::uint64_t old_size, std::uint64_t size, const Hash& old_root,
                        const Hash& root, std::span<const Hash> proof) {
  if (old_size > size) return false;
  if (old_size == size) return proof.empty() && old_root == root;
  if (old_size == 0) return proof.empty();
  if (proof.empty()) return false;
  // An old tree of a power of two leaves is a subtree of the new one: its root starts the path.
  const bool whole = std::has_single_bit(old_size);
  std::span<const Hash> rest = whole ? proof : proof.subspan(1);
  std::uint64_t fn = old_size - 1, sn = size - 1;
  while (odd(fn)) {
    fn >>= 1;
    sn >>= 1;
  }
  Hash fr = whole ? old_root : proof.front(), sr = fr;
  for (const Hash& c : rest) {
    if (sn == 0) return false;
    if (odd(fn) || fn == sn) {
      fr = node_hash(c, fr);
      sr = node_hash(c, sr);
      climb(fn, sn);
    } else {
      sr = node_hash(sr, c);
    }
    fn >>= 1;
    sn >>= 1;
  }
  return fr == old_root && sr == root && sn == 0;
}

}  // namespace oq::merkle
