#include "oq/registry.h"

namespace oq {

std::string NotPublished::text() const {
  return "chain hash " + hash.to_hex() + " is not published in the registry";
}

std::string HashMismatch::text() const {
  return "chain hash mismatch: expected " + expected.to_hex() + ", registered chain hashes to " +
         actual.to_hex();
}

std::string AuditFailure::text() const {
  return std::visit([](const auto& kind) { return kind.text(); }, kind_);
}

ChainHash ChainRegistry::publish(std::shared_ptr<const PermissionChain> chain) {
  const ChainHash hash = chain->hash();
  chains_.insert_or_assign(hash, std::move(chain));
  return hash;
}

std::shared_ptr<const PermissionChain> ChainRegistry::lookup(const ChainHash& hash) const {
  const auto found = chains_.find(hash);
  return found == chains_.end() ? nullptr : found->second;
}

std::expected<void, AuditFailure> ChainRegistry::verify(const ChainHash& hash) const {
  const auto found = chains_.find(hash);
  if (found == chains_.end()) return std::unexpected(AuditFailure(NotPublished{hash}));
  if (!(found->second->hash() == hash)) {
    return std::unexpected(AuditFailure(HashMismatch{hash, found->second->hash()}));
  }
  return {};
}

}  // namespace oq
