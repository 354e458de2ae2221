#include "oq/chain_hash.h"

namespace oq {

ChainHash ChainHash::of(std::span<const Permission> levels,
                        const std::array<std::uint64_t, kRoleCount>& roles) {
  std::string input;
  std::size_t size = 1 + 4 * kRoleCount;
  for (const Permission level : levels) size += level.name().size() + 1;
  input.reserve(size);
  // Names carry neither 0x00 nor 0xFF, so the layout needs no length prefixes.
  for (const Permission level : levels) {
    input += level.name();
    input += '\0';
  }
  input += '\xFF';
  for (const std::uint64_t index : roles) {
    const auto low = static_cast<std::uint32_t>(index);
    for (int shift = 24; shift >= 0; shift -= 8) input += static_cast<char>((low >> shift) & 0xFF);
  }
  return ChainHash(sha256(input));
}

std::expected<ChainHash, InputError> ChainHash::from_hex(std::string_view hex) {
  if (auto bytes = digest_from_hex(hex)) return ChainHash(*bytes);
  return std::unexpected(InvalidChainHashHex{std::string(hex)});
}

}  // namespace oq
