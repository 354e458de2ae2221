#include "oq/merkle.h"

#include <gtest/gtest.h>

#include <bit>
#include <map>
#include <string>
#include <vector>

namespace oq::merkle {
namespace {

// RFC 9162 section 2.1 read plainly, from the leaves themselves, apart from the code under test:
// MTH, PATH and PROOF as the text defines them.
class Reference {
 public:
  explicit Reference(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) leaves_.push_back("entry " + std::to_string(i * 7));
  }

  Hash mth(std::size_t start, std::size_t n) {
    if (const auto it = memo_.find({start, n}); it != memo_.end()) return it->second;
    Hash out{};
    if (n == 0) {
      out = sha256("");
    } else if (n == 1) {
      out = sha256(std::string(1, '\0') + leaves_[start]);
    } else {
      std::size_t k = 1;
      while (k * 2 < n) k *= 2;
      const Hash a = mth(start, k), b = mth(start + k, n - k);
      std::string bytes(1, '\1');
      bytes.append(reinterpret_cast<const char*>(a.data()), a.size());
      bytes.append(reinterpret_cast<const char*>(b.data()), b.size());
      out = sha256(bytes);
    }
    memo_[{start, n}] = out;
    return out;
  }

  std::vector<Hash> path(std::size_t m, std::size_t start, std::size_t n) {
    if (n <= 1) return {};
    std::size_t k = 1;
    while (k * 2 < n) k *= 2;
    std::vector<Hash> out;
    if (m < k) {
      out = path(m, start, k);
      out.push_back(mth(start + k, n - k));
    } else {
      out = path(m - k, start + k, n - k);
      out.push_back(mth(start, k));
    }
    return out;
  }

  std::vector<Hash> subproof(std::size_t m, std::size_t start, std::size_t n, bool b) {
    if (m == n) return b ? std::vector<Hash>{} : std::vector<Hash>{mth(start, n)};
    std::size_t k = 1;
    while (k * 2 < n) k *= 2;
    std::vector<Hash> out;
    if (m <= k) {
      out = subproof(m, start, k, b);
      out.push_back(mth(start + k, n - k));
    } else {
      out = subproof(m - k, start + k, n - k, false);
      out.push_back(mth(start, k));
    }
    return out;
  }

  // What a store keeps: the hash of each complete subtree, here from the reference itself.
  Subtrees subtrees() {
    return [this](std::uint64_t start, unsigned level) {
      ++asked_;
      return mth(start, std::size_t{1} << level);
    };
  }

  const std::string& leaf(std::size_t i) const { return leaves_[i]; }
  std::size_t asked_ = 0;

 private:
  std::vector<std::string> leaves_;
  std::map<std::pair<std::size_t, std::size_t>, Hash> memo_;
};

constexpr std::size_t kSizes = 300;

TEST(Merkle, RootsAndInclusionProofsAgreeWithTheRfcForEverySizeAndLeaf) {
  Reference reference(kSizes);
  const Subtrees subtrees = reference.subtrees();
  for (std::size_t n = 1; n <= kSizes; ++n) {
    const Hash top = root(n, subtrees);
    ASSERT_EQ(top, reference.mth(0, n)) << n;
    for (std::size_t m = 0; m < n; ++m) {
      const auto proof = inclusion_proof(m, n, subtrees);
      ASSERT_EQ(proof, reference.path(m, 0, n)) << m << " of " << n;
      const Hash leaf = leaf_hash(reference.leaf(m));
      ASSERT_TRUE(verify_inclusion(m, n, leaf, proof, top)) << m << " of " << n;
      // Another leaf, place or size, or a proof cut short, shows nothing.
      EXPECT_FALSE(verify_inclusion(m, n, leaf_hash(reference.leaf(m) + "."), proof, top));
      if (n > 1) {
        EXPECT_FALSE(verify_inclusion((m + 1) % n, n, leaf, proof, top));
      }
      if (!proof.empty()) {
        EXPECT_FALSE(verify_inclusion(m, n, leaf, std::span(proof).first(proof.size() - 1), top));
      }
    }
  }
  EXPECT_EQ(root(0, subtrees), sha256(""));
}

TEST(Merkle, ConsistencyProofsAgreeWithTheRfcForEveryPairOfSizes) {
  Reference reference(kSizes);
  const Subtrees subtrees = reference.subtrees();
  for (std::size_t n = 1; n <= kSizes; ++n) {
    const Hash top = reference.mth(0, n);
    for (std::size_t m = 1; m <= n; ++m) {
      const auto proof = consistency_proof(m, n, subtrees);
      const auto expected = m == n ? std::vector<Hash>{} : reference.subproof(m, 0, n, true);
      ASSERT_EQ(proof, expected) << m << " to " << n;
      const Hash old = reference.mth(0, m);
      ASSERT_TRUE(verify_consistency(m, n, old, top, proof)) << m << " to " << n;
      if (m < n) {
        // A rewritten older tree, or a newer one, is caught.
        EXPECT_FALSE(verify_consistency(m, n, reference.mth(1, m), top, proof));
        EXPECT_FALSE(verify_consistency(m, n, old, reference.mth(1, n - 1), proof));
      }
    }
    EXPECT_TRUE(verify_consistency(0, n, sha256(""), top, {}));
  }
}

TEST(Merkle, AppendingMakesEveryCompleteSubtreeOnceUnderItsOwnKey) {
  // Leaves appended in batches of every size up to 7, from the frontier alone, make exactly the
  // complete subtrees of the reference, each once; their keys are an in-order numbering.
  Reference reference(kSizes);
  for (std::size_t batch = 1; batch <= 7; ++batch) {
    std::map<std::uint64_t, Hash> kept;
    std::uint64_t size = 0;
    while (size < kSizes) {
      std::vector<Hash> edge, leaves;
      for (const auto& [start, level] : frontier(size)) {
        edge.push_back(kept.at(node_key(start, level)));
      }
      for (std::size_t i = 0; i < batch && size + i < kSizes; ++i) {
        leaves.push_back(leaf_hash(reference.leaf(size + i)));
      }
      ASSERT_TRUE(
          append(size, edge, leaves, [&](std::uint64_t start, unsigned level, const Hash& hash) {
            ASSERT_EQ(start % (std::uint64_t{1} << level), 0u);
            ASSERT_EQ(hash, reference.mth(start, std::size_t{1} << level)) << start << "/" << level;
            ASSERT_TRUE(kept.emplace(node_key(start, level), hash).second);
          }));
      size += leaves.size();
      // A tree of n leaves has 2n - popcount(n) complete subtrees.
      ASSERT_EQ(kept.size(), 2 * size - static_cast<std::size_t>(std::popcount(size)));
    }
  }
  EXPECT_EQ(node_key(0, 0), 0u);
  EXPECT_EQ(node_key(0, 1), 1u);
  EXPECT_EQ(node_key(1, 0), 2u);
  EXPECT_EQ(node_key(0, 2), 3u);
  EXPECT_EQ(node_key(2, 1), 5u);
  // An edge of the wrong length makes nothing.
  std::size_t made = 0;
  const Hash any{};
  EXPECT_FALSE(append(3, std::vector<Hash>{any}, std::vector<Hash>{any},
                      [&](std::uint64_t, unsigned, const Hash&) { ++made; }));
  EXPECT_EQ(made, 0u);
}

TEST(Merkle, AProofTakesLogarithmicallyManySubtrees) {
  // A million leaves, none stored: only the subtrees a proof needs are asked for.
  std::size_t asked = 0;
  const Subtrees counted = [&asked](std::uint64_t start, unsigned level) {
    ++asked;
    Hash h{};
    h[0] = static_cast<std::uint8_t>(start);
    h[1] = static_cast<std::uint8_t>(level);
    return h;
  };
  const std::uint64_t n = 1'000'003;
  (void)inclusion_proof(777'777, n, counted);
  EXPECT_LE(asked, 64u);
  asked = 0;
  (void)consistency_proof(500'001, n, counted);
  EXPECT_LE(asked, 64u);
  asked = 0;
  (void)root(n, counted);
  EXPECT_LE(asked, 20u);
}

}  // namespace
}  // namespace oq::merkle
