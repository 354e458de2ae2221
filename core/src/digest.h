#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace oq {

using Sha256Digest = std::array<std::uint8_t, 32>;

// SHA-256 of `bytes`.
Sha256Digest sha256(std::string_view bytes);

// Lower-case hexadecimal of `bytes`, first byte first.
std::string to_hex(const Sha256Digest& bytes);

// The 32 bytes spelled by 64 hexadecimal digits of either case; absent for any other text.
std::optional<Sha256Digest> digest_from_hex(std::string_view hex);

// SipHash-1-3 of `bytes` under the all-zero key.
std::uint64_t siphash13(std::string_view bytes);

}  // namespace oq
