#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace oq {

using Sha256Digest = std::array<std::uint8_t, 32>;

// SHA-256 of `bytes`.
Sha256Digest sha256(std::string_view bytes);

// SHA-256 of `parts` joined by `separator`, hashed in place without building the joined text.
Sha256Digest sha256_joined(std::span<const std::string_view> parts, char separator);

// Writes the 64 lower-case hex digits of `bytes` to `out`.
void hex_into(const Sha256Digest& bytes, char* out);

// Lower-case hexadecimal of `bytes`, first byte first.
std::string to_hex(const Sha256Digest& bytes);

// The 32 bytes spelled by 64 hexadecimal digits of either case; absent for any other text.
std::optional<Sha256Digest> digest_from_hex(std::string_view hex);

// SipHash-1-3 of `bytes` under the all-zero key.
std::uint64_t siphash13(std::string_view bytes);

}  // namespace oq
