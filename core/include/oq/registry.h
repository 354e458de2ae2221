#pragma once

#include <cstring>
#include <expected>
#include <memory>
#include <string>
#include <unordered_map>
#include <variant>

#include "oq/chain.h"
#include "oq/chain_hash.h"

namespace oq {

// The chain a judgment names was never published.
struct NotPublished {
  ChainHash hash;
  std::string text() const;
};
// The chain filed under a hash hashes to something else.
struct HashMismatch {
  ChainHash expected;
  ChainHash actual;
  std::string text() const;
};

// Why an audit failed.
class AuditFailure {
 public:
  using Kind = std::variant<NotPublished, HashMismatch>;
  explicit AuditFailure(Kind kind) : kind_(std::move(kind)) {}
  const Kind& kind() const { return kind_; }
  // The message shown to callers.
  std::string text() const;

 private:
  Kind kind_;
};

// Published chains by content hash. Entries are shared immutable chains and are never removed.
class ChainRegistry {
 public:
  // Files `chain` under its own hash, replacing an equal chain filed before; returns the hash.
  ChainHash publish(std::shared_ptr<const PermissionChain> chain);
  // The chain filed under `hash`, or null.
  std::shared_ptr<const PermissionChain> lookup(const ChainHash& hash) const;
  std::size_t size() const { return chains_.size(); }
  // Succeeds when a chain is filed under `hash` and hashes to it.
  std::expected<void, AuditFailure> verify(const ChainHash& hash) const;

 private:
  struct DigestHash {
    std::size_t operator()(const ChainHash& hash) const {
      std::size_t value;
      std::memcpy(&value, hash.bytes().data(), sizeof value);
      return value;
    }
  };
  std::unordered_map<ChainHash, std::shared_ptr<const PermissionChain>, DigestHash> chains_;
};

}  // namespace oq
