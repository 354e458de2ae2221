#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "oq/digest.h"
#include "oq/input_error.h"
#include "oq/permission.h"

namespace oq {

inline constexpr std::size_t kRoleCount = 7;

// The content hash of a chain: SHA-256 over its ordered names and role bindings.
class ChainHash {
 public:
  explicit ChainHash(const Sha256Digest& bytes) : bytes_(bytes) {}

  // The hash of the chain with these levels (bottom first) and role indices (discriminant order).
  static ChainHash of(std::span<const Permission> levels,
                      const std::array<std::uint64_t, kRoleCount>& roles);
  // The hash spelled by 64 hex digits of either case.
  static std::expected<ChainHash, InputError> from_hex(std::string_view hex);

  const Sha256Digest& bytes() const { return bytes_; }
  // 64 lower-case hex digits.
  std::string to_hex() const { return oq::to_hex(bytes_); }

  friend bool operator==(const ChainHash&, const ChainHash&) = default;

 private:
  Sha256Digest bytes_;
};

}  // namespace oq
