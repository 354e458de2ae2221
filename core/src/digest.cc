#include "oq/digest.h"

// The direct SHA-256 interface hashes in place, with no provider lookup or context allocation per
// call; it stays available, only marked deprecated, in current releases of the library.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <cstring>

namespace oq {

Sha256Digest sha256(std::string_view bytes) {
  SHA256_CTX ctx;
  SHA256_Init(&ctx);
  SHA256_Update(&ctx, bytes.data(), bytes.size());
  Sha256Digest out;
  SHA256_Final(out.data(), &ctx);
  return out;
}

Sha256Digest sha256_joined(std::span<const std::string_view> parts, char separator) {
  SHA256_CTX ctx;
  SHA256_Init(&ctx);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i != 0) SHA256_Update(&ctx, &separator, 1);
    SHA256_Update(&ctx, parts[i].data(), parts[i].size());
  }
  Sha256Digest out;
  SHA256_Final(out.data(), &ctx);
  return out;
}

void hex_into(const Sha256Digest& bytes, char* out) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 0xF];
  }
}

std::string to_hex(const Sha256Digest& bytes) {
  std::string out(bytes.size() * 2, '\0');
  hex_into(bytes, out.data());
  return out;
}

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<Sha256Digest> digest_from_hex(std::string_view hex) {
  Sha256Digest out;
  if (hex.size() != out.size() * 2) return std::nullopt;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const int high = hex_value(hex[2 * i]);
    const int low = hex_value(hex[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    out[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  return out;
}

namespace {

constexpr std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  // The initialisation constants xored with a zero key.
  std::uint64_t v0 = 0x736f6d6570736575ULL;
  std::uint64_t v1 = 0x646f72616e646f6dULL;
  std::uint64_t v2 = 0x6c7967656e657261ULL;
  std::uint64_t v3 = 0x7465646279746573ULL;

  void round() {
    v0 += v1, v1 = rotl(v1, 13), v1 ^= v0, v0 = rotl(v0, 32);
    v2 += v3, v3 = rotl(v3, 16), v3 ^= v2;
    v0 += v3, v3 = rotl(v3, 21), v3 ^= v0;
    v2 += v1, v1 = rotl(v1, 17), v1 ^= v2, v2 = rotl(v2, 32);
  }

  void absorb(std::uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

std::uint64_t load_le64(const unsigned char* p) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

}  // namespace

std::uint64_t siphash13(std::string_view bytes) {
  SipState s;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t full = bytes.size() / 8 * 8;
  for (std::size_t i = 0; i < full; i += 8) s.absorb(load_le64(data + i));
  std::uint64_t last = static_cast<std::uint64_t>(bytes.size() & 0xFF) << 56;
  for (std::size_t i = full; i < bytes.size(); ++i) {
    last |= static_cast<std::uint64_t>(data[i]) << (8 * (i - full));
  }
  s.absorb(last);
  s.v2 ^= 0xFF;
  for (int i = 0; i < 3; ++i) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace oq
